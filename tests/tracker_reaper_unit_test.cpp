// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker on where orphans go and who collects what: reapers that
 * never wait, parents the kernel releases children for, subreapers one
 * under another, and collections by several parents seen at once.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/verdict.h"
#include "report/timeline.h"
#include "tracker_rig.h"

namespace {

/*
 * A double fork under the reaper check: the program's child forks a
 * grandchild and ends, the program collects it, and the grandchild goes to
 * PID 1.  It ends at 500 ms and is never collected.
 */
void
double_fork(TrackerRig &rig)
{
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	rig.turn({rig.sys.fork(102, 103)});
	rig.sys.t = 4 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 5 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});
	rig.sys.t = 500 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 600 * ms;
	rig.turn({rig.sys.exit(101, 0)});
}

} // namespace

TEST(TrackerReaper, DoubleForkUnderAnInitThatNeverCollects)
{
	TrackerRig rig(TrackerRig::check(1 * sec));
	double_fork(rig);
	/* Given a second from its end, not a moment less. */
	rig.sys.t = 1499 * ms;
	rig.turn({});
	EXPECT_FALSE(rig.tracker->finished());
	rig.sys.t = 1500 * ms;
	rig.turn({});
	EXPECT_TRUE(rig.tracker->finished());

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "3 Created 103 -> 102 by 102",
				   "4 Ended 102 -> 101 status 0 zombie",
				   "4 Orphaned 103 -> 1 S",
				   "5 Collected 102 -> 101 wait",
				   "500 Ended 103 -> 1 status 0 zombie",
				   "600 Ended 101 -> 50 status 0 zombie",
				   "600 Collected 101 -> 50 wait",
			       }));
	std::vector<Verdict> v = judge(rig.log, 1 * sec);
	ASSERT_EQ(v.size(), 1U);
	EXPECT_EQ(v[0].orphan, rig.id(103));
	EXPECT_EQ(v[0].reaper, rig.id(1));
	EXPECT_EQ(v[0].outcome, Outcome::NotCollected);
	EXPECT_FALSE(v[0].zombie_at_handover);
	EXPECT_EQ(status_of_check(v), 3);
	EXPECT_TRUE(has(summary(rig.log),
	    "child 103 has been a zombie since 0.500s, and still is"))
	    << summary(rig.log);
}

/*
 * An init that collects a zombie orphan as it is handed over: the watcher
 * reads it as it is released, in state X with no parent, or not at all.
 * Collected before it was looked at, it is still an orphan collected.
 */
TEST(TrackerReaper, AnOrphanCollectedAsItIsHandedOverIsStillCollected)
{
	for (bool read_at_release : {true, false}) {
		TrackerRig rig(TrackerRig::check(1 * sec));
		rig.sys.t = 1 * ms;
		rig.start(101);
		rig.sys.t = 2 * ms;
		rig.turn({rig.sys.fork(101, 102)});
		rig.sys.t = 3 * ms;
		rig.turn({rig.sys.exit(102, 0)});
		rig.sys.t = 4 * ms;
		Record parent_end = rig.sys.exit(101, 0);
		FakeProc &kid = rig.sys.procs.at(102);
		rig.sys.procs.at(1).stat.cminflt += kid.stat.minflt;
		kid.stat.state = 'X';
		kid.stat.ppid = 0;
		if (!read_at_release)
			rig.sys.release(102);
		rig.turn({parent_end});
		rig.sys.release(102);
		rig.turn({});

		EXPECT_TRUE(in_order(rig.lines(),
		    {"3 Ended 102 -> 101 status 0 zombie",
			"4 Orphaned 102 -> 1 Z", "4 Collected 102 -> 1 wait"}))
		    << read_at_release;
		std::vector<Verdict> v = judge(rig.log, 1 * sec);
		ASSERT_EQ(v.size(), 1U);
		EXPECT_EQ(v[0].outcome, Outcome::Collected);
		EXPECT_EQ(v[0].reaper, rig.id(1));
	}
}

/*
 * Gone before its end could be read, a child whose parent's count did not
 * grow was released, if it faulted or was yet to run; a vfork child, seen
 * with no fault while its parent waited in D, need not have: then either
 * is said.
 */
TEST(TrackerReaper, AFaultlessChildGoneUnreadIsWaitedForOrReleased)
{
	struct {
		long long faults;
		char parent;
		Guess guess;
		const char *told;
	} cases[] = {
	    {0, 'D', Guess::WaitOrRelease,
		"3 Collected 102 -> 101 wait guessed"},
	    {0, 'S', Guess::Unread, "3 Collected 102 released guessed"},
	    {100, 'D', Guess::Unread, "3 Collected 102 released guessed"},
	};
	for (const auto &c : cases) {
		TrackerRig rig;
		rig.sys.t = 1 * ms;
		rig.start(101);
		rig.sys.procs.at(101).nocldwait = c.guess == Guess::Unread;
		rig.sys.procs.at(101).stat.state = c.parent;
		rig.sys.t = 2 * ms;
		Record fork = rig.sys.fork(101, 102);
		rig.sys.procs.at(102).stat.minflt = c.faults;
		rig.turn({fork});
		rig.sys.t = 3 * ms;
		Record end = rig.sys.exit(102, 0);
		rig.sys.reap(102, 101);
		rig.turn({end});

		EXPECT_TRUE(in_order(rig.lines(), {c.told})) << c.told;
		const Event &e = rig.log.events().back();
		ASSERT_EQ(e.what, What::Collected);
		EXPECT_EQ(e.guess, c.guess) << c.told;
	}
}

/* The same under an init that ignores SIGCHLD: the kernel releases it. */
TEST(TrackerReaper, AnInitThatIgnoresSigchldHasItsOrphansReleased)
{
	TrackerRig rig(TrackerRig::check(1 * sec));
	rig.sys.procs.at(1).ignores = true;
	double_fork(rig);

	EXPECT_TRUE(in_order(rig.lines(),
	    {"4 Orphaned 103 -> 1 S", "500 Ended 103 -> 1 status 0",
		"500 Collected 103 released (SIGCHLD ignored) guessed"}));
	std::vector<Verdict> v = judge(rig.log, 1 * sec);
	ASSERT_EQ(v.size(), 1U);
	EXPECT_EQ(v[0].outcome, Outcome::Released);
	EXPECT_EQ(v[0].reaper, rig.id(1));
	EXPECT_FALSE(v[0].collector);
	EXPECT_EQ(status_of_check(v), 0);
	EXPECT_TRUE(rig.tracker->finished());
}

/*
 * Children of a parent that ignores SIGCHLD, and of one that sets
 * SA_NOCLDWAIT, are released as they end: never zombies, and no one
 * waits.  Only the first shows in /proc, and only it is said to ignore.
 */
TEST(TrackerReaper, ParentsThatIgnoreOrSetNocldwaitHaveChildrenReleased)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.procs.at(102).ignores = true;
	rig.sys.t = 3 * ms;
	rig.turn({rig.sys.fork(101, 103)});
	rig.sys.procs.at(103).nocldwait = true;
	rig.sys.t = 4 * ms;
	rig.turn({rig.sys.fork(102, 104), rig.sys.fork(103, 105)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.exit(104, 3 << 8)});
	rig.sys.t = 20 * ms;
	rig.turn({rig.sys.exit(105, 0)});

	EXPECT_EQ(rig.lines(),
	    (Lines{
		"1 Started 101 -> 50",
		"2 Created 102 -> 101 by 101",
		"3 Created 103 -> 101 by 101",
		"4 Created 104 -> 102 by 102",
		"4 Created 105 -> 103 by 103",
		"10 Ended 104 -> 102 status 3",
		"10 Collected 104 released (SIGCHLD ignored) guessed",
		"20 Ended 105 -> 103 status 0",
		"20 Collected 105 released guessed",
	    }));
	std::string s = summary(rig.log);
	EXPECT_TRUE(has(s, "child 104 was never a zombie: the kernel released "
			   "it as it ended"))
	    << s;
	EXPECT_TRUE(has(s, "child 105 was never a zombie")) << s;

	/*
	 * Its end read in the kernel's moment between the zombie and the
	 * release, which /proc shows as Z: still never a zombie.
	 */
	TrackerRig moment;
	moment.sys.t = 1 * ms;
	moment.start(101);
	moment.sys.t = 2 * ms;
	moment.turn({moment.sys.fork(101, 102)});
	moment.sys.t = 300 * ms;
	Record end = moment.sys.exit(102, 0);
	moment.sys.after_read[102] = [&moment] { moment.sys.release(102); };
	moment.turn({end});
	moment.turn({});
	EXPECT_TRUE(in_order(moment.lines(),
	    {"300 Ended 102 -> 101 status 0", "300 Collected 102 released"}))
	    << testing::PrintToString(moment.lines());
}

/*
 * Subreapers one under another: S1, the program, and S2, its child.  The
 * orphan of S2's child goes to S2, the nearest; when S2 ends, to S1.
 */
TEST(TrackerReaper, OrphansGoToTheNearestLiveSubreaper)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.procs.at(101).subreaper = true;
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.procs.at(102).subreaper = true;
	rig.sys.t = 3 * ms;
	rig.turn({rig.sys.fork(102, 103)});
	rig.sys.t = 4 * ms;
	rig.turn({rig.sys.fork(103, 104)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 11 * ms;
	rig.sys.reap(103, 102);
	rig.turn({});
	rig.sys.t = 20 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 21 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});
	rig.sys.t = 30 * ms;
	rig.turn({rig.sys.exit(104, 0)});
	rig.sys.t = 31 * ms;
	rig.sys.reap(104, 101);
	rig.turn({});

	/* Each hand-over is told, the second as S2 ends. */
	EXPECT_TRUE(
	    in_order(rig.lines(), {
				      "4 Created 104 -> 103 by 103",
				      "10 Ended 103 -> 102 status 0 zombie",
				      "10 Orphaned 104 -> 102 S",
				      "11 Collected 103 -> 102 wait",
				      "20 Ended 102 -> 101 status 0 zombie",
				      "20 Orphaned 104 -> 101 S",
				      "21 Collected 102 -> 101 wait",
				      "30 Ended 104 -> 101 status 0 zombie",
				      "31 Collected 104 -> 101 wait",
				  }));
}

/*
 * Two parents each collect their own child between two turns, the second
 * forked first: each is credited with its own, whatever the order.
 */
TEST(TrackerReaper, TwoParentsCollectingInOneTurnAreEachCredited)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102), rig.sys.fork(101, 103)});
	rig.sys.t = 4 * ms;
	rig.turn({rig.sys.fork(102, 104), rig.sys.fork(103, 105)});
	rig.sys.t = 5 * ms;
	rig.turn({rig.sys.exit(104, 0), rig.sys.exit(105, 1 << 8)});
	rig.sys.t = 20 * ms;
	rig.sys.reap(105, 103);
	rig.sys.reap(104, 102);
	rig.turn({});

	/* In the same millisecond: which went first, nothing here says. */
	Lines told = rig.lines();
	EXPECT_TRUE(in_order(told, {"20 Collected 104 -> 102 wait"}));
	EXPECT_TRUE(in_order(told, {"20 Collected 105 -> 103 wait"}));
}

/* The same, both gone before their ends were seen: faults unread. */
TEST(TrackerReaper, TwoParentsCollectingUnseenChildrenAreEachCredited)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102), rig.sys.fork(101, 103)});
	rig.sys.t = 4 * ms;
	rig.turn({rig.sys.fork(102, 104), rig.sys.fork(103, 105)});
	rig.sys.t = 5 * ms;
	Record a = rig.sys.exit(104, 0);
	Record b = rig.sys.exit(105, 1 << 8);
	rig.sys.t = 20 * ms;
	rig.sys.reap(105, 103);
	rig.sys.reap(104, 102);
	rig.turn({a, b});

	Lines told = rig.lines();
	EXPECT_TRUE(
	    in_order(told, {"5 Ended 104 -> 102 status 0",
			       "20 Collected 104 -> 102 wait guessed"}));
	EXPECT_TRUE(
	    in_order(told, {"5 Ended 105 -> 103 status 1",
			       "20 Collected 105 -> 103 wait guessed"}));
}

/*
 * A parent's count is read once for all the children it collected in a
 * turn, but a reading made before a child went cannot show that child's
 * collection: the parent collects 103 just after its count is read for
 * 104, and 103 is still credited to it, not released.
 */
TEST(TrackerReaper, ACountReadBeforeAChildWentIsNoEvidenceForIt)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 103)});
	rig.sys.t = 5 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 8 * ms;
	Record fork = rig.sys.fork(101, 104);
	Record end = rig.sys.exit(104, 0);
	rig.sys.reap(104, 101);
	rig.sys.t = 10 * ms;
	rig.sys.after_read[101] = [&rig] { rig.sys.reap(103, 101); };
	rig.turn({fork, end});

	Lines told = rig.lines();
	EXPECT_TRUE(rig.sys.after_read.empty());
	EXPECT_TRUE(in_order(told, {"10 Collected 104 -> 101 wait guessed"}));
	EXPECT_TRUE(in_order(told, {"5 Ended 103 -> 101 status 0 zombie",
				       "10 Collected 103 -> 101 wait late"}))
	    << testing::PrintToString(told);
}

/*
 * A handler's waitpid loop collects three children at once; two were gone
 * before their faults could be read, and the loop's turn saw the hang-up
 * of only one of them: the parent's count, read then, already held the
 * other's collection.  That count was credited on a guess, so it cannot
 * show that the other was released: its parent, which does not ignore
 * SIGCHLD, is taken to have collected it, and the line says it guessed.
 */
TEST(TrackerReaper, ACountCreditedOnAGuessProvesNoRelease)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102), rig.sys.fork(101, 103),
	    rig.sys.fork(101, 104)});
	rig.sys.t = 300 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	std::vector<Record> ends = {
	    rig.sys.exit(103, 1 << 8), rig.sys.exit(104, 2 << 8)};
	rig.sys.t = 301 * ms;
	rig.sys.reap(102, 101);
	rig.sys.reap(103, 101);
	rig.sys.reap(104, 101);
	rig.tracker->records(ends);
	std::vector<ProcId> gone = rig.sys.take_gone();
	ASSERT_EQ(gone.size(), 3U);
	for (ProcId id : gone) {
		rig.tracker->vanished(id);
		rig.tracker->settle();
	}

	Lines told = rig.lines();
	EXPECT_TRUE(in_order(told, {"301 Collected 102 -> 101 wait"}));
	EXPECT_TRUE(in_order(told, {"301 Collected 103 -> 101 wait guessed"}));
	EXPECT_TRUE(in_order(told, {"301 Collected 104 -> 101 wait guessed"}));
}

/*
 * A collection is timed no later than the wait that told it, however long
 * the turn took to come to it; and one of a child never held, missed from
 * its end to when the watcher looked, is a bound.
 */
TEST(TrackerReaper, ACollectionIsTimedByTheWaitThatToldIt)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 300 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 301 * ms;
	rig.sys.reap(102, 101);
	std::vector<ProcId> gone = rig.sys.take_gone();
	ASSERT_EQ(gone.size(), 1U);
	rig.sys.t = 340 * ms;
	rig.tracker->vanished(gone[0], 302 * ms);
	rig.tracker->settle();

	rig.sys.t = 400 * ms;
	Record fork = rig.sys.fork(101, 103);
	rig.sys.t = 401 * ms;
	Record end = rig.sys.exit(103, 0);
	rig.sys.reap(103, 101);
	rig.sys.t = 450 * ms;
	rig.turn({fork, end});

	Lines told = rig.lines();
	EXPECT_TRUE(in_order(told, {"302 Collected 102 -> 101 wait"}));
	EXPECT_TRUE(in_order(told,
	    {"401 Ended 103 -> 101", "450 Collected 103 -> 101 wait guessed "
				     "late"}))
	    << testing::PrintToString(told);
}
