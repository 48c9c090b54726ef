/* kitbag: thread, mutex, condition and semaphore shims over POSIX threads.
 *
 * Thread ids, mutexes and condition variables are the POSIX ones. Every shim
 * returns 0 or an error number, as POSIX threads do. */
#ifndef KITBAG_THREADS_H
#define KITBAG_THREADS_H

#include <pthread.h>
#include <time.h>

#include "basalt_api.h"

BASALT_BEGIN_DECLS

/* Synchronisation types of mutex_init, cond_init and sema_init. Shared
 * objects are accepted but made process-private. */
#define USYNC_THREAD 1
#define USYNC_PROCESS 2

/* thr_create flag: the new thread is detached. The flags 0x08 and 0x04 are
 * refused with EOPNOTSUPP; other bits are ignored. */
#define THR_DETACHED 0x10

/* Counting semaphore. */
typedef struct sema_t {
    pthread_mutex_t lock;
    pthread_cond_t waiters;
    unsigned int count; /* tokens available */
} sema_t;

/* Absolute time for cond_timedwait. */
typedef struct timestruc_t {
    time_t tv_sec;
    long tv_nsec;
} timestruc_t;

/* Reader/writer lock: a plain mutex here. */
typedef pthread_mutex_t rwlock_t;

BASALT_API int thr_create(void *stack_base, unsigned int stack_size,
                          void *(*start_routine)(void *), void *arg, long flags,
                          pthread_t *new_thread);
BASALT_API int thr_join(pthread_t thread, pthread_t *departed, void **status);
BASALT_API int thr_setprio(pthread_t thread, int priority);
BASALT_API int thr_getprio(pthread_t thread, int *priority);
BASALT_API int thr_suspend(pthread_t thread);
BASALT_API int thr_continue(pthread_t thread);
BASALT_API int thr_setconcurrency(int level);
BASALT_API int thr_getconcurrency(void);
BASALT_API int thr_getspecific(pthread_key_t key, void **value);

BASALT_API int mutex_init(pthread_mutex_t *mp, int type, void *arg);
BASALT_API int cond_init(pthread_cond_t *cvp, int type, void *arg);
BASALT_API int cond_timedwait(pthread_cond_t *cvp, pthread_mutex_t *mp, timestruc_t *abstime);

BASALT_API int sema_init(sema_t *sp, unsigned int count, int type, void *arg);
BASALT_API int sema_destroy(sema_t *sp);
BASALT_API int sema_wait(sema_t *sp);
BASALT_API int sema_trywait(sema_t *sp);
BASALT_API int sema_post(sema_t *sp);

BASALT_END_DECLS

#endif
