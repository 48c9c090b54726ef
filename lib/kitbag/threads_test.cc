// Thread shims over POSIX threads.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "kitbag.h"

#if defined(__SANITIZE_THREAD__)
#define UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define UNDER_TSAN 1
#endif
#endif

namespace {

// Joins with a generous bound, so that a waiter left blocked fails the test
// instead of hanging it.
int join_within(pthread_t t, void **status, int seconds = 120) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += seconds;
    return pthread_timedjoin_np(t, status, &until);
}

int task_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

void *return_arg(void *arg) { return arg; }

// A thread that reports its detach state and then waits to be let go.
struct Detached {
    sema_t reported;
    sema_t release;
    sema_t finished;
    int state = -1;
};
Detached detached;  // static: a detached thread may outlive any test's frame

void *report_detach_state(void *) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getdetachstate(&attr, &detached.state);
        pthread_attr_destroy(&attr);
    }
    sema_post(&detached.reported);
    sema_wait(&detached.release);
    sema_post(&detached.finished);
    return nullptr;
}

sema_t never;  // nobody posts it
int started_anyway = 0;
void *must_not_run(void *) {
    __atomic_add_fetch(&started_anyway, 1, __ATOMIC_SEQ_CST);
    sema_wait(&never);
    return nullptr;
}

}  // namespace

// ---- Threads -----------------------------------------------------------------

TEST(ThrCreate, JoinableByDefault) {
    pthread_t t;
    int value = 7;
    ASSERT_EQ(thr_create(nullptr, 0, return_arg, &value, 0, &t), 0);
    pthread_t departed;
    void *status = nullptr;
    EXPECT_EQ(thr_join(t, &departed, &status), 0);
    EXPECT_TRUE(pthread_equal(departed, t));
    EXPECT_EQ(status, &value);

    // Without departed, and with a stack base that comes with its size.
    char stack[64];
    ASSERT_EQ(thr_create(stack, sizeof stack, return_arg, nullptr, 0, &t), 0);
    EXPECT_EQ(thr_join(t, nullptr, nullptr), 0);
}

TEST(ThrCreate, DetachedFlagMakesAThreadThatCannotBeJoined) {
    ASSERT_EQ(sema_init(&detached.reported, 0, USYNC_THREAD, nullptr), 0);
    ASSERT_EQ(sema_init(&detached.release, 0, USYNC_THREAD, nullptr), 0);
    ASSERT_EQ(sema_init(&detached.finished, 0, USYNC_THREAD, nullptr), 0);
    pthread_t t;
    ASSERT_EQ(thr_create(nullptr, 0, report_detach_state, nullptr, THR_DETACHED, &t), 0);
    sema_wait(&detached.reported);
    EXPECT_EQ(detached.state, PTHREAD_CREATE_DETACHED);
#ifndef UNDER_TSAN
    // Still running (it waits for release), so the join is refused.
    EXPECT_EQ(thr_join(t, nullptr, nullptr), EINVAL);
#endif
    sema_post(&detached.release);
    sema_wait(&detached.finished);

    // The id may be dropped.
    ASSERT_EQ(thr_create(nullptr, 0, report_detach_state, nullptr, 0x10 | 0x1000, nullptr), 0);
    sema_wait(&detached.reported);
    EXPECT_EQ(detached.state, PTHREAD_CREATE_DETACHED);
    sema_post(&detached.release);
    sema_wait(&detached.finished);
}

TEST(ThrCreate, RefusedRequestsStartNoThread) {
    ASSERT_EQ(sema_init(&never, 0, USYNC_THREAD, nullptr), 0);
    struct Case {
        void *stack;
        unsigned size;
        long flags;
        int rc;
    } cases[] = {
        {nullptr, 0, 0x08, EOPNOTSUPP},
        {nullptr, 0, 0x04, EOPNOTSUPP},
        {nullptr, 0, 0x04 | 0x10, EOPNOTSUPP},
        {nullptr, 0, 0x08 | 0x04, EOPNOTSUPP},
        {&never, 0, 0, EINVAL},        // a stack base without a size
        {&never, 0, 0x08, EINVAL},     // checked before the flags
    };
    int before = task_count();
    for (const Case &c : cases) {
        pthread_t t = pthread_self();
        EXPECT_EQ(thr_create(c.stack, c.size, must_not_run, nullptr, c.flags, &t), c.rc)
            << std::hex << c.flags;
        EXPECT_TRUE(pthread_equal(t, pthread_self())) << "id stored for a refused thread";
    }
    EXPECT_LE(task_count(), before);
    EXPECT_EQ(__atomic_load_n(&started_anyway, __ATOMIC_SEQ_CST), 0);
    EXPECT_EQ(thr_create(nullptr, 0, nullptr, nullptr, 0, nullptr), EINVAL);
}

TEST(ThrJoin, UnknownThreadIsAnError) {
    EXPECT_EQ(thr_join(static_cast<pthread_t>(0), nullptr, nullptr), ESRCH);
}

TEST(ThreadShims, PriorityConcurrencySuspension) {
    pthread_t self = pthread_self();
    EXPECT_EQ(thr_setprio(self, 10), 0);
    int prio = 99;
    EXPECT_EQ(thr_getprio(self, &prio), 0);
    EXPECT_EQ(prio, 0);
    EXPECT_EQ(thr_suspend(self), 38);
    EXPECT_EQ(thr_continue(self), 38);
    EXPECT_EQ(thr_setconcurrency(8), 0);
    EXPECT_EQ(thr_getconcurrency(), 0);
}

TEST(ThreadShims, GetSpecificReadsTheKey) {
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key, nullptr), 0);
    void *value = &key;
    EXPECT_EQ(thr_getspecific(key, &value), 0);
    EXPECT_EQ(value, nullptr);
    int x = 0;
    pthread_setspecific(key, &x);
    EXPECT_EQ(thr_getspecific(key, &value), 0);
    EXPECT_EQ(value, &x);
    pthread_key_delete(key);
}

// ---- Mutexes and conditions ---------------------------------------------------

TEST(MutexInit, TypesOneAndTwoAreAcceptedOthersRefused) {
    struct Case {
        int type, rc;
    } cases[] = {{1, 0}, {2, 0}, {0, EINVAL}, {3, EINVAL}, {-1, EINVAL}};
    for (const Case &c : cases) {
        pthread_mutex_t m;
        EXPECT_EQ(mutex_init(&m, c.type, nullptr), c.rc) << c.type;
        if (c.rc != 0) continue;
        EXPECT_EQ(pthread_mutex_lock(&m), 0);
        EXPECT_EQ(pthread_mutex_trylock(&m), EBUSY);
        EXPECT_EQ(pthread_mutex_unlock(&m), 0);
        pthread_mutex_destroy(&m);
    }
    rwlock_t rw;
    EXPECT_EQ(mutex_init(&rw, USYNC_PROCESS, nullptr), 0);
    pthread_mutex_destroy(&rw);
}

TEST(CondInit, TypesOneAndTwoAreAcceptedOthersRefused) {
    struct Case {
        int type, rc;
    } cases[] = {{1, 0}, {2, 0}, {0, EINVAL}, {3, EINVAL}};
    for (const Case &c : cases) {
        pthread_cond_t cv;
        EXPECT_EQ(cond_init(&cv, c.type, nullptr), c.rc) << c.type;
        if (c.rc == 0) {
            EXPECT_EQ(pthread_cond_signal(&cv), 0);
            pthread_cond_destroy(&cv);
        }
    }
}

namespace {

struct Signalled {
    pthread_mutex_t m;
    pthread_cond_t cv;
    bool ready = false;
};

void *set_ready(void *p) {
    auto *s = static_cast<Signalled *>(p);
    pthread_mutex_lock(&s->m);
    s->ready = true;
    pthread_cond_signal(&s->cv);
    pthread_mutex_unlock(&s->m);
    return nullptr;
}

}  // namespace

TEST(CondTimedwait, TimesOutAtAPastTime) {
    pthread_mutex_t m;
    pthread_cond_t cv;
    ASSERT_EQ(mutex_init(&m, USYNC_THREAD, nullptr), 0);
    ASSERT_EQ(cond_init(&cv, USYNC_THREAD, nullptr), 0);
    pthread_mutex_lock(&m);
    timestruc_t past = {1, 0};
    EXPECT_EQ(cond_timedwait(&cv, &m, &past), 110);
    timestruc_t bad = {1, -1};
    EXPECT_EQ(cond_timedwait(&cv, &m, &bad), EINVAL);
    EXPECT_EQ(cond_timedwait(&cv, &m, nullptr), EINVAL);
    // The mutex is held again after each return.
    EXPECT_EQ(pthread_mutex_trylock(&m), EBUSY);
    pthread_mutex_unlock(&m);
    pthread_cond_destroy(&cv);
    pthread_mutex_destroy(&m);
}

TEST(CondTimedwait, ReturnsZeroWhenSignalledInTime) {
    Signalled s;
    ASSERT_EQ(mutex_init(&s.m, USYNC_THREAD, nullptr), 0);
    ASSERT_EQ(cond_init(&s.cv, USYNC_THREAD, nullptr), 0);
    pthread_t t;
    pthread_mutex_lock(&s.m);
    ASSERT_EQ(thr_create(nullptr, 0, set_ready, &s, 0, &t), 0);
    timestruc_t until = {time(nullptr) + 120, 0};
    int rc = 0;
    while (!s.ready && rc == 0) rc = cond_timedwait(&s.cv, &s.m, &until);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(s.ready);
    pthread_mutex_unlock(&s.m);
    EXPECT_EQ(thr_join(t, nullptr, nullptr), 0);
    pthread_cond_destroy(&s.cv);
    pthread_mutex_destroy(&s.m);
}

// ---- Semaphores ----------------------------------------------------------------

TEST(Semaphore, TrywaitTakesOnlyAvailableTokens) {
    sema_t s;
    ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
    EXPECT_EQ(sema_trywait(&s), 16);
    EXPECT_EQ(sema_post(&s), 0);
    EXPECT_EQ(sema_trywait(&s), 0);
    EXPECT_EQ(sema_trywait(&s), 16);
    EXPECT_EQ(sema_destroy(&s), 0);

    ASSERT_EQ(sema_init(&s, 2, USYNC_PROCESS, nullptr), 0);
    EXPECT_EQ(s.count, 2u);
    EXPECT_EQ(sema_wait(&s), 0);
    EXPECT_EQ(sema_trywait(&s), 0);
    EXPECT_EQ(sema_trywait(&s), EBUSY);
    EXPECT_EQ(sema_destroy(&s), 0);
}

TEST(Semaphore, BadTypeInitialisesNothing) {
    for (int type : {0, 3}) {
        sema_t s;
        std::memset(&s, 0xab, sizeof s);
        sema_t before;
        std::memcpy(&before, &s, sizeof s);
        EXPECT_EQ(sema_init(&s, 5, type, nullptr), 22) << type;
        EXPECT_EQ(std::memcmp(&s, &before, sizeof s), 0) << type;
    }
}

TEST(Semaphore, CountDoesNotWrap) {
    sema_t s;
    ASSERT_EQ(sema_init(&s, 0xffffffffu, USYNC_THREAD, nullptr), 0);
    EXPECT_EQ(sema_post(&s), EOVERFLOW);
    EXPECT_EQ(s.count, 0xffffffffu);
    EXPECT_EQ(sema_trywait(&s), 0);
    EXPECT_EQ(sema_post(&s), 0);
    sema_destroy(&s);
}

namespace {

struct Waiter {
    sema_t *sema;
    int rc = -1;
    bool through = false;
};

void *wait_once(void *p) {
    auto *w = static_cast<Waiter *>(p);
    w->rc = sema_wait(w->sema);
    __atomic_store_n(&w->through, true, __ATOMIC_SEQ_CST);
    return nullptr;
}

}  // namespace

TEST(Semaphore, WaitBlocksUntilAPost) {
    sema_t s;
    ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
    Waiter w{&s};
    pthread_t t;
    ASSERT_EQ(thr_create(nullptr, 0, wait_once, &w, 0, &t), 0);
    // No token yet: the waiter cannot be through.
    EXPECT_FALSE(__atomic_load_n(&w.through, __ATOMIC_SEQ_CST));
    EXPECT_EQ(sema_post(&s), 0);
    ASSERT_EQ(join_within(t, nullptr), 0) << "the waiter was not released";
    EXPECT_EQ(w.rc, 0);
    EXPECT_TRUE(w.through);
    EXPECT_EQ(sema_trywait(&s), EBUSY);  // the token was taken
    sema_destroy(&s);
}

TEST(Semaphore, TwoPostsReleaseTwoWaiters) {
    sema_t s;
    ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
    Waiter a{&s}, b{&s};
    pthread_t ta, tb;
    ASSERT_EQ(thr_create(nullptr, 0, wait_once, &a, 0, &ta), 0);
    ASSERT_EQ(thr_create(nullptr, 0, wait_once, &b, 0, &tb), 0);
    EXPECT_EQ(sema_post(&s), 0);
    EXPECT_EQ(sema_post(&s), 0);
    ASSERT_EQ(join_within(ta, nullptr), 0) << "first waiter was not released";
    ASSERT_EQ(join_within(tb, nullptr), 0) << "second waiter was not released";
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(sema_trywait(&s), EBUSY);
    sema_destroy(&s);
}

TEST(Semaphore, CancelledWaiterLeavesTheLockFree) {
    sema_t s;
    ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
    Waiter w{&s};
    pthread_t t;
    ASSERT_EQ(thr_create(nullptr, 0, wait_once, &w, 0, &t), 0);
    ASSERT_EQ(pthread_cancel(t), 0);
    void *status = nullptr;
    ASSERT_EQ(join_within(t, &status), 0);
    EXPECT_EQ(status, PTHREAD_CANCELED);
    EXPECT_FALSE(w.through);
    ASSERT_EQ(pthread_mutex_trylock(&s.lock), 0) << "the cancelled waiter kept the lock";
    pthread_mutex_unlock(&s.lock);
    // And the semaphore still works.
    EXPECT_EQ(sema_post(&s), 0);
    EXPECT_EQ(sema_trywait(&s), 0);
    sema_destroy(&s);
}
