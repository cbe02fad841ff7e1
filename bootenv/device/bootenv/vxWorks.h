/* The operating system's declarations as the device's own headers give
 * them: global names, C linkage, plain prototypes, macros for constants,
 * the untyped task entry taking ten int arguments. Only what the module
 * uses; the C library's own headers supply stdio and stdlib. Used by the
 * device-shaped compile of the module (DL_DEVICE_DECLS), never by the host
 * machine. */
#ifndef DL_DEVICE_VXWORKS_H
#define DL_DEVICE_VXWORKS_H

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- basic types ---- */
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
typedef unsigned short USHORT;
typedef int (*FUNCPTR)(...);

#define OK 0
#define ERROR (-1)
#define TRUE 1
#define FALSE 0

/* ---- tasks ---- */
#define VX_FP_TASK 0x0008
int taskSpawn(char *name, int priority, int options, int stackSize, FUNCPTR entryPt, int arg1, int arg2,
              int arg3, int arg4, int arg5, int arg6, int arg7, int arg8, int arg9, int arg10);
int taskIdSelf(void);

/* ---- message queues ---- */
typedef struct msg_q *MSG_Q_ID;
#define WAIT_FOREVER (-1)
#define NO_WAIT 0
#define MSG_PRI_NORMAL 0
#define MSG_PRI_URGENT 1
#define MSG_Q_FIFO 0x00
#define MSG_Q_PRIORITY 0x01
MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options);
STATUS msgQSend(MSG_Q_ID msgQId, char *buffer, UINT nBytes, int timeout, int priority);
int msgQReceive(MSG_Q_ID msgQId, char *buffer, UINT maxNBytes, int timeout);
int msgQNumMsgs(MSG_Q_ID msgQId);

/* ---- I/O system ---- */
#define O_RDONLY 0
#define O_WRONLY 1
#define O_RDWR 2
#define O_CREAT 0x0200
#define O_TRUNC 0x0400
int open(const char *name, int flags, int mode);
int creat(const char *name, int flag);
int read(int fd, char *buffer, size_t maxbytes);
int write(int fd, char *buffer, size_t nbytes);
int lseek(int fd, long offset, int whence);
int ioctl(int fd, int function, int arg);
STATUS close(int fd);
STATUS copy(const char *in, const char *out);

typedef struct dir DIR;
struct dirent {
    char d_name[256];
};
DIR *opendir(char *dirName);
struct dirent *readdir(DIR *pDir);
STATUS closedir(DIR *pDir);

/* ---- block devices and DOS file system ---- */
typedef struct blk_dev BLK_DEV;
typedef struct dos_vol_desc DOS_VOL_DESC;
typedef struct dev_hdr DEV_HDR;
BLK_DEV *ramDevCreate(char *ramAddr, int bytesPerBlk, int blksPerTrack, int nBlocks, int blkOffset);
DOS_VOL_DESC *dosFsMkfs(char *volName, BLK_DEV *pBlkDev);
DEV_HDR *iosDevFind(char *name, char **pNameTail);

/* ---- PowerPC ---- */
void vxEieio(void);

#ifdef __cplusplus
}
#endif

#endif
