// Solaris-style thread, mutex, condition and semaphore calls mapped onto
// POSIX threads. Every shim returns 0 or an error number.
#include <pthread.h>

#include <cerrno>
#include <climits>

#include "kitbag.h"

namespace {

constexpr long kDetached = 0x10;
constexpr long kUnsupportedAtStart = 0x08;
constexpr long kUnsupportedAfterSetup = 0x04;

// The POSIX process-sharing setting of a synchronisation type, or -1 for a
// type that is neither private (1) nor shared (2).
int sharing_of(int type) {
    switch (type) {
        case 1: return PTHREAD_PROCESS_PRIVATE;
        case 2: return PTHREAD_PROCESS_SHARED;
        default: return -1;
    }
}

// The sharing setting is accepted and not applied: every object the shims
// make is process-private.
int apply_mutex_sharing(pthread_mutexattr_t *attr, int pshared) { return 0; }
int apply_cond_sharing(pthread_condattr_t *attr, int pshared) { return 0; }

int init_mutex(pthread_mutex_t *mp, int pshared) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) return rc;
    apply_mutex_sharing(&attr, pshared);
    rc = pthread_mutex_init(mp, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int init_cond(pthread_cond_t *cvp, int pshared) {
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0) return rc;
    apply_cond_sharing(&attr, pshared);
    rc = pthread_cond_init(cvp, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

void unlock_mutex(void *mp) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mp)); }

}  // namespace

extern "C" {

int thr_create(void *stack_base, unsigned int stack_size, void *(*start_routine)(void *),
               void *arg, long flags, pthread_t *new_thread) {
    if (stack_base != nullptr && stack_size == 0) return EINVAL;
    if (start_routine == nullptr) return EINVAL;
    if (flags & kUnsupportedAtStart) return EOPNOTSUPP;

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setdetachstate(
        &attr, (flags & kDetached) ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    if (rc == 0 && (flags & kUnsupportedAfterSetup)) rc = EOPNOTSUPP;
    if (rc == 0) {
        pthread_t id;
        rc = pthread_create(&id, &attr, start_routine, arg);
        if (rc == 0 && new_thread != nullptr) *new_thread = id;
    }
    pthread_attr_destroy(&attr);
    return rc;
}

int thr_join(pthread_t thread, pthread_t *departed, void **status) {
    // Solaris reads thread 0 as "any thread"; POSIX has no such join, and
    // joining id 0 would crash.
    if (thread == static_cast<pthread_t>(0)) return ESRCH;
    int rc = pthread_join(thread, status);
    if (departed != nullptr) *departed = thread;
    return rc;
}

int thr_setprio(pthread_t thread, int priority) { return 0; }

int thr_getprio(pthread_t thread, int *priority) {
    if (priority != nullptr) *priority = 0;
    return 0;
}

int thr_suspend(pthread_t thread) { return ENOSYS; }

int thr_continue(pthread_t thread) { return ENOSYS; }

int thr_setconcurrency(int level) { return 0; }

int thr_getconcurrency(void) { return 0; }

int thr_getspecific(pthread_key_t key, void **value) {
    if (value != nullptr) *value = pthread_getspecific(key);
    return 0;
}

int mutex_init(pthread_mutex_t *mp, int type, void *arg) {
    int pshared = sharing_of(type);
    if (pshared < 0 || mp == nullptr) return EINVAL;
    return init_mutex(mp, pshared);
}

int cond_init(pthread_cond_t *cvp, int type, void *arg) {
    int pshared = sharing_of(type);
    if (pshared < 0 || cvp == nullptr) return EINVAL;
    return init_cond(cvp, pshared);
}

int cond_timedwait(pthread_cond_t *cvp, pthread_mutex_t *mp, timestruc_t *abstime) {
    if (abstime == nullptr) return EINVAL;
    struct timespec until;
    until.tv_sec = abstime->tv_sec;
    until.tv_nsec = abstime->tv_nsec;
    return pthread_cond_timedwait(cvp, mp, &until);
}

int sema_init(sema_t *sp, unsigned int count, int type, void *arg) {
    int pshared = sharing_of(type);
    if (pshared < 0 || sp == nullptr) return EINVAL;
    int rc = init_mutex(&sp->lock, pshared);
    if (rc != 0) return rc;
    rc = init_cond(&sp->waiters, pshared);
    if (rc != 0) {
        pthread_mutex_destroy(&sp->lock);
        return rc;
    }
    sp->count = count;
    return 0;
}

int sema_destroy(sema_t *sp) {
    pthread_cond_destroy(&sp->waiters);
    pthread_mutex_destroy(&sp->lock);
    return 0;
}

int sema_wait(sema_t *sp) {
    pthread_mutex_lock(&sp->lock);
    // A waiter cancelled in pthread_cond_wait holds the lock again when
    // the clean-up runs: give it back.
    pthread_cleanup_push(unlock_mutex, &sp->lock);
    while (sp->count == 0) pthread_cond_wait(&sp->waiters, &sp->lock);
    sp->count--;
    pthread_cleanup_pop(1);
    return 0;
}

int sema_trywait(sema_t *sp) {
    pthread_mutex_lock(&sp->lock);
    int rc = EBUSY;
    if (sp->count > 0) {
        sp->count--;
        rc = 0;
    }
    pthread_mutex_unlock(&sp->lock);
    return rc;
}

int sema_post(sema_t *sp) {
    pthread_mutex_lock(&sp->lock);
    int rc = 0;
    if (sp->count == UINT_MAX) {
        rc = EOVERFLOW;  // one more token would wrap the count to none
    } else {
        sp->count++;
        pthread_cond_signal(&sp->waiters);
    }
    pthread_mutex_unlock(&sp->lock);
    return rc;
}

}  // extern "C"
