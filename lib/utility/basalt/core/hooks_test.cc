#include "hooks.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "elog.h"
#include "elog_capture.h"

namespace {

using testsupport::ChildResult;
using testsupport::in_child;

const std::string P = testsupport::elog_program_name();

int destructor_calls = 0;
void *destructor_arg = nullptr;

void counting_free(void *p) {
    destructor_calls++;
    destructor_arg = p;
}

TEST(Hook, NewHookHasMagicDestructorAndNoState) {
    Hook *hook = new_hook(counting_free);
    ASSERT_NE(hook, nullptr);
    EXPECT_EQ(hook->magic, 0x308e0bc3);
    EXPECT_EQ(hook->magic, HOOK_MAGIC);
    EXPECT_EQ(hook->free, &counting_free);
    EXPECT_EQ(hook->type, 0);
    EXPECT_EQ(hook->p, nullptr);
    free_hook(&hook);
    EXPECT_EQ(hook, nullptr);
}

TEST(Hook, FieldsKeepTheirOrder) {
    EXPECT_EQ(offsetof(Hook, magic), 0u);
    EXPECT_LT(offsetof(Hook, magic), offsetof(Hook, free));
    EXPECT_LT(offsetof(Hook, free), offsetof(Hook, type));
    EXPECT_LT(offsetof(Hook, type), offsetof(Hook, p));
}

TEST(Hook, FreeCallsTheDestructorOnTheStateOnce) {
    int state = 7;
    struct Case {
        bool with_state;
        bool with_destructor;
        int calls;
    };
    const Case cases[] = {
        {true, true, 1},
        {false, true, 0},  // no state: the destructor is not called
        {true, false, 0},  // no destructor: the state is the caller's
        {false, false, 0},
    };
    for (const Case &c : cases) {
        destructor_calls = 0;
        destructor_arg = nullptr;
        Hook *hook = new_hook(c.with_destructor ? counting_free : nullptr);
        if (c.with_state) hook->p = &state;
        hook->type = 42;
        free_hook(&hook);
        EXPECT_EQ(hook, nullptr);
        EXPECT_EQ(destructor_calls, c.calls) << c.with_state << c.with_destructor;
        if (c.calls) {
            EXPECT_EQ(destructor_arg, &state);
        }
    }
}

TEST(Hook, NullPointersAreLeftAlone) {
    free_hook(nullptr);
    Hook *hook = nullptr;
    free_hook(&hook);
    EXPECT_EQ(hook, nullptr);
}

TEST(Hook, BadMagicStopsTheProcess) {
    ChildResult r = in_child([] {
        Hook fake{};
        fake.magic = 0x12345678;
        fake.free = counting_free;
        fake.p = &fake;
        Hook *hook = &fake;
        free_hook(&hook);
        testsupport::out("survived");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, P + " *fatal*: free_hook called with bad pointer.\n");
}

TEST(Hook, OwningRoutineKeepsItsStateAcrossCalls) {
    // The pattern of use: a routine fills the caller's hook on the first
    // call and finds its state there on the next ones.
    struct Counter {
        int calls;
    };
    auto routine = [](Hook **hookp) {
        if (*hookp == nullptr) {
            *hookp = new_hook(free);
            (*hookp)->p = calloc(1, sizeof(Counter));
        }
        return ++static_cast<Counter *>((*hookp)->p)->calls;
    };
    Hook *hook = nullptr;
    EXPECT_EQ(routine(&hook), 1);
    EXPECT_EQ(routine(&hook), 2);
    EXPECT_EQ(routine(&hook), 3);
    free_hook(&hook);
    EXPECT_EQ(hook, nullptr);
    EXPECT_EQ(routine(&hook), 1);
    free_hook(&hook);
}

}  // namespace
