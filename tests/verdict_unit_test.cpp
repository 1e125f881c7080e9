// SPDX-License-Identifier: BSD-2-Clause
/*
 * The reaper check's decisions, from logs made by hand: which orphans are
 * judged, what each verdict says, and the exit status a CI job gates on.
 */

#include <gtest/gtest.h>

#include <signal.h>

#include <optional>
#include <vector>

#include "core/log.h"
#include "core/verdict.h"
#include "log_events.h"

namespace {

constexpr Nanos reaper_wait = 10 * sec;

/* A run under the check: the watcher, its program, and the system's init. */
struct Check {
	Log log;
	ProcId watcher = log.add_process(7821, Role::Watcher);
	ProcId program = log.add_process(7822, Role::Program, "zombie");
	ProcId init = log.add_process(1, Role::Outsider, "init");

	ProcId child(pid_t pid)
	{
		ProcId id = log.add_process(pid, Role::Child);
		Event e = at(0, What::Created, id, program);
		e.by = program;
		log.append(e);
		return id;
	}
	std::vector<Verdict> verdicts() const
	{
		return judge(log, reaper_wait);
	}
};

} // namespace

/* A reaper has nothing to collect until the orphan has both come and ended. */
TEST(Verdict, DelayCountsFromTheLaterOfItsEndAndItsHandover)
{
	Check c;
	ProcId alive = c.child(7826);
	ProcId zombie = c.child(7827);
	c.log.append(ended(500 * ms, zombie, c.program, 0));
	c.log.append(orphaned(sec, alive, c.init, 'S'));
	c.log.append(orphaned(sec, zombie, c.init, 'Z'));
	Event late = collected(1200 * ms, zombie, c.init, How::Wait);
	late.late = true;
	c.log.append(late);
	c.log.append(ended(2 * sec, alive, c.init, 0));
	c.log.append(collected(2500 * ms, alive, c.init, How::Wait));

	std::vector<Verdict> v = c.verdicts();
	ASSERT_EQ(v.size(), 2U);
	EXPECT_EQ(v[0].orphan, alive);
	EXPECT_EQ(v[0].outcome, Outcome::Collected);
	EXPECT_EQ(v[0].reaper, c.init);
	EXPECT_EQ(v[0].collector, c.init);
	EXPECT_EQ(v[0].delay, 500 * ms);
	EXPECT_FALSE(v[0].zombie_at_handover);
	EXPECT_FALSE(v[0].at_most);
	EXPECT_EQ(v[1].orphan, zombie);
	EXPECT_EQ(v[1].delay, 200 * ms);
	EXPECT_TRUE(v[1].zombie_at_handover);
	EXPECT_TRUE(v[1].at_most);
	EXPECT_EQ(status_of_check(v), 0);
}

TEST(Verdict, AZombieLeftWhenItsWaitRanOutFailsTheCheck)
{
	Check c;
	ProcId done = c.child(7826);
	ProcId left = c.child(7827);
	c.log.append(orphaned(sec, done, c.init, 'S'));
	c.log.append(orphaned(sec, left, c.init, 'S'));
	c.log.append(ended(2 * sec, done, c.init, 0));
	c.log.append(collected(2 * sec, done, c.init, How::Wait));
	c.log.append(ended(2 * sec, left, c.init, 0));

	std::vector<Verdict> v = c.verdicts();
	ASSERT_EQ(v.size(), 2U);
	EXPECT_EQ(v[1].outcome, Outcome::NotCollected);
	EXPECT_EQ(v[1].collector, std::nullopt);
	/* How long it was given, not how long it has been. */
	EXPECT_EQ(v[1].delay, reaper_wait);
	EXPECT_EQ(status_of_check(v), 3);
}

/*
 * A signal stops the check: a zombie then awaited was given only the time
 * until it came, and its verdict says so; one still running has none.
 */
TEST(Verdict, ASignalCutsTheWaitShort)
{
	Check c;
	ProcId zombie = c.child(7826);
	ProcId late = c.child(7827);
	ProcId running = c.child(7828);
	for (ProcId id : {zombie, late, running})
		c.log.append(orphaned(sec, id, c.init, 'S'));
	c.log.append(ended(2 * sec, zombie, c.init, 0));
	Event sig = at(3500 * ms, What::Signalled, 0);
	sig.signo = SIGTERM;
	c.log.append(sig);
	/* Ended as the check stopped: told, but given no time at all. */
	c.log.append(ended(3600 * ms, late, c.init, 0));

	std::vector<Verdict> v = c.verdicts();
	ASSERT_EQ(v.size(), 3U);
	EXPECT_EQ(v[0].outcome, Outcome::NotCollected);
	EXPECT_EQ(v[0].delay, 1500 * ms);
	EXPECT_EQ(v[1].outcome, Outcome::NotCollected);
	EXPECT_EQ(v[1].delay, 0);
	EXPECT_EQ(v[2].outcome, Outcome::Running);
	EXPECT_EQ(v[2].delay, std::nullopt);
}

/* No one waits under a reaper that ignores SIGCHLD, and none is left. */
TEST(Verdict, AReleaseByTheKernelPassesTheCheck)
{
	Check c;
	ProcId id = c.child(7826);
	c.log.append(orphaned(sec, id, c.init, 'S'));
	c.log.append(ended(2 * sec, id, c.init, 0, false));
	c.log.append(collected(2 * sec, id, std::nullopt, How::Released));

	std::vector<Verdict> v = c.verdicts();
	ASSERT_EQ(v.size(), 1U);
	EXPECT_EQ(v[0].outcome, Outcome::Released);
	EXPECT_EQ(v[0].collector, std::nullopt);
	EXPECT_EQ(status_of_check(v), 0);
}

/* Orphans the watcher collects itself say nothing of the system's reaper. */
TEST(Verdict, NothingCheckedIsNoPass)
{
	Check c;
	EXPECT_EQ(status_of_check(c.verdicts()), 4);

	ProcId own = c.child(7826);
	c.log.append(orphaned(sec, own, c.watcher, 'S'));
	c.log.append(ended(2 * sec, own, c.watcher, 0, false));
	c.log.append(collected(2 * sec, own, c.watcher, How::Wait));
	EXPECT_TRUE(c.verdicts().empty());
	EXPECT_EQ(status_of_check(c.verdicts()), 4);
}

/* One orphan without a verdict withholds the pass, not a failure. */
TEST(Verdict, AnOrphanNotFollowedOrStillRunningWithholdsThePass)
{
	Check c;
	ProcId done = c.child(7826);
	c.log.append(orphaned(sec, done, c.init, 'S'));
	c.log.append(ended(2 * sec, done, c.init, 0));
	c.log.append(collected(2 * sec, done, c.init, How::Wait));
	ProcId running = c.child(7827);
	c.log.append(orphaned(sec, running, c.init, 'S'));
	std::vector<Verdict> v = c.verdicts();
	ASSERT_EQ(v.size(), 2U);
	EXPECT_EQ(v[1].outcome, Outcome::Running);
	EXPECT_EQ(status_of_check(v), 4);

	c.log.append(at(3 * sec, What::Unfollowed, running));
	v = c.verdicts();
	EXPECT_EQ(v[1].outcome, Outcome::Unfollowed);
	EXPECT_EQ(v[1].delay, std::nullopt);
	EXPECT_EQ(status_of_check(v), 4);

	/* A zombie left beside it still fails the check. */
	ProcId left = c.child(7828);
	c.log.append(orphaned(sec, left, c.init, 'S'));
	c.log.append(ended(4 * sec, left, c.init, 0));
	EXPECT_EQ(status_of_check(c.verdicts()), 3);
}
