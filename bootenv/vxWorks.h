// The operating system as the update module sees it: types, constants and
// services of the device's RTOS (tasks, message queues, I/O, RAM disk).
//
// How the module is bound to these names
// --------------------------------------
// Every declaration here lives in namespace `vx`, and so does every source
// file of the module (between DL_NAMESPACE_BEGIN and DL_NAMESPACE_END,
// bootenv/dlNamespace.h). Inside that namespace an unqualified call such as `open(...)`, `printf(...)` or `malloc(...)` finds
// `vx::open`, `vx::printf`, `vx::malloc` first, and a name found in an inner
// namespace hides the global one, so the C library's function of the same
// name is never considered: no call of the module can reach the host's
// operating system by accident, even when the module includes <cstdio> or
// <cstdlib> for their pure helpers (sprintf, memset, strlen). FILE and DIR
// are our own types too, so a stream from the host's library would not even
// convert. On the device this namespace is simply the global one.
//
// This header includes no host header, only <utility> of the standard library.
#pragma once

#include "bootenv/dlNamespace.h"

#if defined(DL_DEVICE_DECLS)
#error "these are the host machine's declarations; the device build takes its own"
#endif

#include <utility>

DL_NAMESPACE_BEGIN

// ---- basic types ---------------------------------------------------------
typedef int STATUS;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef unsigned long ULONG;
typedef decltype(sizeof 0) size_t;

// A task argument wide enough for a pointer (the module hands buffers to
// tasks); long is 32 bits on the device and pointer-sized on the host.
typedef long _Vx_usr_arg_t;

constexpr STATUS OK = 0;
constexpr STATUS ERROR = -1;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ---- tasks ---------------------------------------------------------------
constexpr int VX_FP_TASK = 8;

// Type-safe glue for taskSpawn: converts the ten word-sized arguments back
// to the parameter types of the entry, pointer or integer.
template <class T>
struct VxTaskArg {
    static T from(_Vx_usr_arg_t v) { return static_cast<T>(v); }
};
template <class T>
struct VxTaskArg<T *> {
    static T *from(_Vx_usr_arg_t v) { return reinterpret_cast<T *>(v); }
};

typedef void (*VxTaskThunk)(void *context);

// Starts a task that runs thunk(context); release(context) is called once
// the task is gone, however it ended. Returns the task id or -1.
int taskSpawnThunk(const char *name, int priority, int options, int stackSize, VxTaskThunk thunk,
                   void *context, VxTaskThunk release);

template <class R, class... P>
struct VxTaskCall {
    R (*entry)(P...);
    _Vx_usr_arg_t args[10];

    template <size_t... I>
    void invoke(std::index_sequence<I...>)
    {
        entry(VxTaskArg<P>::from(args[I])...);
    }
    static void run(void *c) { static_cast<VxTaskCall *>(c)->invoke(std::index_sequence_for<P...>{}); }
    static void release(void *c) { delete static_cast<VxTaskCall *>(c); }
};

// taskSpawn(name, priority, options, stackSize, entry, arg1 ... arg10):
// the entry may have any signature of up to ten word-sized parameters.
template <class R, class... P>
int taskSpawn(const char *name, int priority, int options, int stackSize, R (*entry)(P...), _Vx_usr_arg_t a1,
              _Vx_usr_arg_t a2, _Vx_usr_arg_t a3, _Vx_usr_arg_t a4, _Vx_usr_arg_t a5, _Vx_usr_arg_t a6,
              _Vx_usr_arg_t a7, _Vx_usr_arg_t a8, _Vx_usr_arg_t a9, _Vx_usr_arg_t a10)
{
    static_assert(sizeof...(P) <= 10, "a task takes at most ten arguments");
    auto *call = new VxTaskCall<R, P...>{entry, {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10}};
    return taskSpawnThunk(name, priority, options, stackSize, &VxTaskCall<R, P...>::run, call,
                          &VxTaskCall<R, P...>::release);
}

// Ends the calling task only; the rest of the machine goes on.
[[noreturn]] void exit(int status);

int taskIdSelf();

// ---- message queues --------------------------------------------------------
struct msg_q;
typedef msg_q *MSG_Q_ID;

constexpr int WAIT_FOREVER = -1;
constexpr int NO_WAIT = 0;
constexpr int MSG_PRI_NORMAL = 0;
constexpr int MSG_PRI_URGENT = 1;
constexpr int MSG_Q_FIFO = 0;
constexpr int MSG_Q_PRIORITY = 1;

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options);
STATUS msgQSend(MSG_Q_ID msgQId, char *buffer, UINT nBytes, int timeout, int priority);
int msgQReceive(MSG_Q_ID msgQId, char *buffer, UINT maxNBytes, int timeout);
int msgQNumMsgs(MSG_Q_ID msgQId);

// ---- I/O system ------------------------------------------------------------
constexpr int O_RDONLY = 0;
constexpr int O_WRONLY = 1;
constexpr int O_RDWR = 2;
constexpr int O_CREAT = 0x200;
constexpr int O_TRUNC = 0x400;

#ifndef SEEK_SET
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#endif

int open(const char *name, int flags, int mode);
int creat(const char *name, int flag);
int read(int fd, char *buffer, size_t maxbytes);
int write(int fd, char *buffer, size_t nbytes);
int lseek(int fd, long offset, int whence);
int ioctl(int fd, int function, int arg);
STATUS close(int fd);
STATUS remove(const char *name);
STATUS copy(const char *in, const char *out);

struct DIR;
struct dirent {
    char d_name[256];
};
DIR *opendir(const char *dirName);
dirent *readdir(DIR *pDir);
STATUS closedir(DIR *pDir);

struct FILE;
FILE *fopen(const char *file, const char *mode);
size_t fread(void *buf, size_t size, size_t count, FILE *fp);
size_t fwrite(const void *buf, size_t size, size_t count, FILE *fp);
int fseek(FILE *fp, long offset, int whence);
long ftell(FILE *fp);
int fprintf(FILE *fp, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int fflush(FILE *fp);
int fclose(FILE *fp);

// Console output of the calling task.
int printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- memory ----------------------------------------------------------------
void *malloc(size_t nBytes);
void free(void *ptr);

// ---- block devices and DOS file system ---------------------------------------
struct BLK_DEV;
struct DOS_VOL_DESC;
struct DEV_HDR;

BLK_DEV *ramDevCreate(char *ramAddr, int bytesPerBlk, int blksPerTrack, int nBlocks, int blkOffset);
DOS_VOL_DESC *dosFsMkfs(const char *volName, BLK_DEV *pBlkDev);
// The device serving `name` (the default device when none matches, with
// *pNameTail == name), or null when there is no default device either.
DEV_HDR *iosDevFind(const char *name, const char **pNameTail);
// The device's own form, with its unqualified tail.
inline DEV_HDR *iosDevFind(char *name, char **pNameTail)
{
    return iosDevFind(static_cast<const char *>(name), const_cast<const char **>(pNameTail));
}

// ---- PowerPC ---------------------------------------------------------------
// Store barrier: earlier device stores complete before later ones.
void vxEieio();

DL_NAMESPACE_END
