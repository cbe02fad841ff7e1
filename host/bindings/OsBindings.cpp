// The operating system's services as the module calls them, served by the
// bound machine. Faults are counted here, at the module's own calls, so the
// host's internal work never uses them up.
#include "bootenv/vxWorks.h"
#include "host/Machine.h"
#include "host/io/RamDisk.h"
#include "host/kernel/RunInTask.h"
#include "host/machine/Nvram.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// The host spawns its own tasks with the OS's options, where it cannot see them.
static_assert(host::kFloatingPointTask == vx::VX_FP_TASK);

namespace {

constexpr unsigned kWatchRead = 1;

host::Machine &machine() { return host::boundMachine(); }

host::MsgQueue *queueOf(vx::MSG_Q_ID id) { return reinterpret_cast<host::MsgQueue *>(id); }

host::IoSystem::Stream *streamOf(vx::FILE *fp) { return reinterpret_cast<host::IoSystem::Stream *>(fp); }

std::string format(const char *fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

// A watched read returns half of what was asked (none for one byte). Out of
// line, so that an unwatched read, a byte at a time in a flash read-back,
// builds no strings.
[[gnu::noinline]] size_t watchedLength(host::IoSystem &io, int fd, size_t n)
{
    if (machine().faultFires(host::AimedFault::read, io.pathOf(fd),
                             [&] { return "read of " + std::to_string(n) + " bytes gives half"; }))
        return n / 2;
    return n;
}

void watchReads(int fd, const std::string &path)
{
    if (fd > 0 && machine().faults().watches(host::AimedFault::read, path))
        machine().io().setTag(fd, kWatchRead);
}

// An HDD package file of the media: a name of digits alone on the stick.
void noteHddFile(std::string_view name)
{
    if (!name.starts_with("/usbstor/"))
        return;
    std::string_view last = name.substr(name.rfind('/') + 1);
    if (last.empty() || last.size() > 4 || last.find_first_not_of("0123456789") != last.npos)
        return;
    int k = 0;
    for (char c : last)
        k = k * 10 + (c - '0');
    machine().noteProgress(std::nullopt, k);
}

} // namespace

namespace vx {

// ---- tasks ---------------------------------------------------------------
int taskSpawnThunk(const char *name, int priority, int options, int stackSize, VxTaskThunk thunk,
                   void *context, VxTaskThunk release)
{
    // The context is released with the task, however it ends.
    std::shared_ptr<void> holder(context, release);
    std::string taskName = name ? name : "";
    if (machine().faultFires(host::AimedFault::spawn, taskName,
                             [&] { return "taskSpawn(" + taskName + ") fails"; }))
        return -1;
    return machine().kernel().spawn(taskName, priority, options, stackSize,
                                    [thunk, holder] { thunk(holder.get()); });
}

void exit(int status) { machine().kernel().exitTask(status); }

int taskIdSelf() { return machine().kernel().currentTaskId(); }

// ---- message queues --------------------------------------------------------
MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options)
{
    if (machine().faultFires(host::Fault::msgqCreate, [&] { return "msgQCreate fails"; }))
        return nullptr;
    return reinterpret_cast<MSG_Q_ID>(machine().kernel().createQueue(maxMsgs, maxMsgLength, options));
}

STATUS msgQSend(MSG_Q_ID id, char *buffer, UINT nBytes, int timeout, int priority)
{
    if (machine().faultFires(host::Fault::msgqSend, [&] { return "msgQSend fails"; }))
        return ERROR;
    return machine().kernel().send(queueOf(id), buffer, nBytes, timeout, priority);
}

int msgQReceive(MSG_Q_ID id, char *buffer, UINT maxNBytes, int timeout)
{
    if (machine().faultFires(host::Fault::msgqReceive, [&] { return "msgQReceive fails"; }))
        return ERROR;
    return machine().kernel().receive(queueOf(id), buffer, maxNBytes, timeout);
}

int msgQNumMsgs(MSG_Q_ID id) { return machine().kernel().numMsgs(queueOf(id)); }

// ---- I/O -------------------------------------------------------------------
int open(const char *name, int flags, int mode)
{
    if (!name)
        return ERROR;
    if (machine().faultFires(host::AimedFault::open, name, [&] { return "open fails"; }))
        return ERROR;
    int fd = machine().io().open(name, flags, mode);
    watchReads(fd, name);
    return fd;
}

int creat(const char *name, int flag) { return open(name, O_CREAT | O_TRUNC | (flag & 3), 0); }

int read(int fd, char *buffer, size_t maxbytes)
{
    if (!buffer && maxbytes)
        return ERROR;
    return machine().io().read(fd, buffer, maxbytes, kWatchRead, watchedLength);
}

int write(int fd, char *buffer, size_t nbytes)
{
    if (!buffer && nbytes)
        return ERROR;
    return machine().io().write(fd, buffer, nbytes);
}

int lseek(int fd, long offset, int whence)
{
    return static_cast<int>(machine().io().lseek(fd, offset, whence));
}

int ioctl(int fd, int function, int arg) { return machine().io().ioctl(fd, function, arg); }

STATUS close(int fd) { return machine().io().close(fd); }

STATUS remove(const char *name) { return name ? machine().io().remove(name) : ERROR; }

STATUS copy(const char *in, const char *out)
{
    if (!in || !out || machine().faultFires(host::Fault::copy, [&] {
            return std::string("copy ") + in + " " + out + " fails";
        }))
        return ERROR;
    // The HDD update takes each package file of the media in turn this way.
    if (machine().progressWatched())
        noteHddFile(in);
    return machine().io().copy(in, out);
}

DIR *opendir(const char *dirName)
{
    if (!dirName)
        return nullptr;
    return reinterpret_cast<DIR *>(machine().io().opendir(dirName));
}

dirent *readdir(DIR *pDir)
{
    // One entry buffer per directory stream would be faithful; the module
    // reads one directory at a time, so one per task thread is enough.
    thread_local dirent entry;
    const char *name = machine().io().readdir(reinterpret_cast<host::IoSystem::Dir *>(pDir));
    if (!name)
        return nullptr;
    std::snprintf(entry.d_name, sizeof entry.d_name, "%s", name);
    return &entry;
}

STATUS closedir(DIR *pDir) { return machine().io().closedir(reinterpret_cast<host::IoSystem::Dir *>(pDir)); }

FILE *fopen(const char *file, const char *mode)
{
    if (!file || !mode)
        return nullptr;
    if (machine().faultFires(host::AimedFault::open, file, [&] { return "fopen fails"; }))
        return nullptr;
    host::IoSystem::Stream *s = machine().io().fopen(file, mode);
    if (s)
        watchReads(machine().io().fileno(s), file);
    return reinterpret_cast<FILE *>(s);
}

size_t fread(void *buf, size_t size, size_t count, FILE *fp)
{
    host::IoSystem &io = machine().io();
    int fd = io.fileno(streamOf(fp));
    if (size && fd > 0 && (io.tag(fd) & kWatchRead) &&
        machine().faultFires(host::AimedFault::read, io.pathOf(fd),
                             [&] { return "fread of " + std::to_string(count) + " items gives half"; }))
        count = count / 2;
    return io.fread(buf, size, count, streamOf(fp));
}

size_t fwrite(const void *buf, size_t size, size_t count, FILE *fp)
{
    return machine().io().fwrite(buf, size, count, streamOf(fp));
}

int fseek(FILE *fp, long offset, int whence) { return machine().io().fseek(streamOf(fp), offset, whence); }

long ftell(FILE *fp) { return machine().io().ftell(streamOf(fp)); }

int fprintf(FILE *fp, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string text = format(fmt, args);
    va_end(args);
    size_t n = machine().io().fwrite(text.data(), 1, text.size(), streamOf(fp));
    return n == text.size() ? static_cast<int>(n) : -1;
}

int fflush(FILE *fp) { return machine().io().fflush(streamOf(fp)); }

int fclose(FILE *fp) { return machine().io().fclose(streamOf(fp)); }

int printf(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string text = format(fmt, args);
    va_end(args);
    machine().console().write(text);
    return static_cast<int>(text.size());
}

// ---- memory ----------------------------------------------------------------
void *malloc(size_t nBytes)
{
    if (machine().faultFires(host::Fault::malloc,
                             [&] { return "malloc(" + std::to_string(nBytes) + ") fails"; }))
        return nullptr;
    return machine().heap().allocate(nBytes);
}

void free(void *ptr) { machine().heap().release(ptr); }

// ---- block devices -----------------------------------------------------------
BLK_DEV *ramDevCreate(char *ramAddr, int bytesPerBlk, int blksPerTrack, int nBlocks, int blkOffset)
{
    if (machine().faultFires(host::Fault::ramdisk, [&] { return "ramDevCreate fails"; }))
        return nullptr;
    return reinterpret_cast<BLK_DEV *>(
        machine().createRamDevice(ramAddr, bytesPerBlk, blksPerTrack, nBlocks, blkOffset));
}

DOS_VOL_DESC *dosFsMkfs(const char *volName, BLK_DEV *pBlkDev)
{
    if (!volName || !machine().isRamDevice(pBlkDev))
        return nullptr;
    auto *device = reinterpret_cast<host::RamBlockDevice *>(pBlkDev);
    if (!machine().makeDosFs(volName, device))
        return nullptr;
    return reinterpret_cast<DOS_VOL_DESC *>(machine().io().device(volName));
}

DEV_HDR *iosDevFind(const char *name, const char **pNameTail)
{
    if (!name)
        return nullptr;
    std::string_view rest;
    host::Device *d = machine().io().find(name, &rest);
    if (pNameTail)
        *pNameTail = d ? name + (rest.data() - name) : name;
    return reinterpret_cast<DEV_HDR *>(d);
}

void vxEieio()
{
    // The barrier orders the NVRAM window's stores and shows in its log.
    if (host::machineBound()) {
        if (host::Nvram *nv = machine().nvram()) {
            nv->barrier();
            return;
        }
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

} // namespace vx
