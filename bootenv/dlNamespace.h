// Where the module's names live and how it hands work to a task.
//
// Against the host machine every name of the module and of bootenv/ lives
// in namespace vx (vxWorks.h says why), and a task entry keeps its own
// signature. Built with DL_DEVICE_DECLS against the device's own headers,
// the same sources declare their names in the global namespace and hand
// the classic untyped entry and int arguments to taskSpawn.
#pragma once

#if defined(DL_DEVICE_DECLS)
#define DL_NAMESPACE_BEGIN
#define DL_NAMESPACE_END
#define DL_TASK_ENTRY(entry) ((FUNCPTR)(entry))
#define DL_TASK_ARG(value) ((int)(value))
#else
#define DL_NAMESPACE_BEGIN namespace vx {
#define DL_NAMESPACE_END } // namespace vx
#define DL_TASK_ENTRY(entry) (entry)
#define DL_TASK_ARG(value) ((_Vx_usr_arg_t)(value))
#endif
