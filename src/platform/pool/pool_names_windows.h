// On Windows velkor's thread pool is its own fiber pool (fiber_thread_pool.cpp),
// not the system's: the system pool needs a thread per running client. The
// pool calls keep their Windows names in the code that uses them; here they
// are mapped to the fiber pool's, declared with the system's own types. Sleep
// is mapped too, so that a callback's sleep parks its fiber and not the worker
// thread that runs the other clients. Only included by platform.h, after the
// system headers.
#pragma once

#define CreateThreadpool fiberCreateThreadpool
#define SetThreadpoolThreadMaximum fiberSetThreadpoolThreadMaximum
#define SetThreadpoolThreadMinimum fiberSetThreadpoolThreadMinimum
#define CloseThreadpool fiberCloseThreadpool
#define CreateThreadpoolCleanupGroup fiberCreateThreadpoolCleanupGroup
#define CloseThreadpoolCleanupGroupMembers fiberCloseThreadpoolCleanupGroupMembers
#define CloseThreadpoolCleanupGroup fiberCloseThreadpoolCleanupGroup
#define CreateThreadpoolWork fiberCreateThreadpoolWork
#define SubmitThreadpoolWork fiberSubmitThreadpoolWork
#define CloseThreadpoolWork fiberCloseThreadpoolWork
#define Sleep fiberAwareSleep

PTP_POOL fiberCreateThreadpool(PVOID reserved);
void fiberSetThreadpoolThreadMaximum(PTP_POOL pool, DWORD maximumThreads);
BOOL fiberSetThreadpoolThreadMinimum(PTP_POOL pool, DWORD minimumThreads);
void fiberCloseThreadpool(PTP_POOL pool);

PTP_CLEANUP_GROUP fiberCreateThreadpoolCleanupGroup();
void fiberCloseThreadpoolCleanupGroupMembers(PTP_CLEANUP_GROUP group, BOOL cancelPendingCallbacks,
                                             PVOID cleanupContext);
void fiberCloseThreadpoolCleanupGroup(PTP_CLEANUP_GROUP group);

PTP_WORK fiberCreateThreadpoolWork(PTP_WORK_CALLBACK callback, PVOID context,
                                   PTP_CALLBACK_ENVIRON environment);
void fiberSubmitThreadpoolWork(PTP_WORK work);
void fiberCloseThreadpoolWork(PTP_WORK work);

// On a pool fiber, parks the fiber for the time given; elsewhere the system's Sleep.
void fiberAwareSleep(DWORD milliseconds);
