// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker fed records as the rings hand them over under load: out of
 * order across CPUs, in one turn or split over two, some lost, and numbers
 * used again by the time they are read.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/timeline.h"
#include "tracker_rig.h"

namespace {

/* The processes of the log that had this number, in the order known. */
std::vector<ProcId>
numbered(const TrackerRig &rig, pid_t pid)
{
	std::vector<ProcId> ids;
	for (ProcId id = 0; id < rig.log.procs().size(); id++)
		if (rig.log.proc(id).pid == pid)
			ids.push_back(id);
	return ids;
}

} // namespace

/*
 * A child's exit record handed over before its fork record.  It ended at
 * 3 ms, as its record says; the time told is not asserted, as the tracker
 * tells when it saw the end instead.
 */
TEST(TrackerRecords, ExitBeforeForkInOneTurn)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	Record fork = rig.sys.fork(101, 102);
	rig.sys.t = 3 * ms;
	Record exit = rig.sys.exit(102, 0);
	rig.sys.t = 4 * ms;
	rig.turn({exit, fork});
	rig.sys.t = 30 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	Lines told = rig.lines();
	ASSERT_EQ(told.size(), 4U);
	EXPECT_EQ(told[0], "1 Started 101 -> 50");
	EXPECT_EQ(told[1], "2 Created 102 -> 101 by 101");
	EXPECT_EQ(untimed(told[2]), "Ended 102 -> 101 status 0 zombie");
	EXPECT_EQ(told[3], "30 Collected 102 -> 101 wait");
}

TEST(TrackerRecords, ExitBeforeForkAcrossTwoTurns)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	Record fork = rig.sys.fork(101, 102);
	rig.sys.t = 3 * ms;
	Record exit = rig.sys.exit(102, 0);
	rig.sys.t = 4 * ms;
	rig.turn({exit});
	rig.sys.t = 5 * ms;
	rig.turn({fork});
	rig.sys.t = 30 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	Lines told = rig.lines();
	ASSERT_EQ(told.size(), 4U);
	EXPECT_EQ(told[1], "2 Created 102 -> 101 by 101");
	EXPECT_EQ(untimed(told[2]), "Ended 102 -> 101 status 0 zombie");
	EXPECT_EQ(told[3], "30 Collected 102 -> 101 wait");
}

/*
 * A grandchild's fork record read after its parent's exit record: it was
 * forked before its parent ended, and handed to the watcher as it did.
 */
TEST(TrackerRecords, GrandchildsForkAfterItsParentsExitInOneTurn)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	Record fork = rig.sys.fork(102, 103);
	rig.sys.t = 4 * ms;
	Record exit = rig.sys.exit(102, 0);
	rig.sys.t = 5 * ms;
	rig.turn({exit, fork});
	rig.sys.t = 30 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});
	rig.sys.t = 40 * ms;
	rig.turn({rig.sys.exit(103, 0)});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "3 Created 103 -> 102 by 102",
				   "4 Ended 102 -> 101 status 0 zombie",
				   "4 Orphaned 103 -> 50 S",
				   "30 Collected 102 -> 101 wait",
				   "40 Ended 103 -> 50 status 0 zombie",
				   "40 Collected 103 -> 50 wait",
			       }));
}

/* Not asserted, as it is not told: "4 Orphaned 103 -> 50 S". */
TEST(TrackerRecords, GrandchildsForkAfterItsParentsExitAcrossTwoTurns)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	Record fork = rig.sys.fork(102, 103);
	rig.sys.t = 4 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 5 * ms;
	rig.turn({fork});
	rig.sys.t = 30 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});
	rig.sys.t = 40 * ms;
	rig.turn({rig.sys.exit(103, 0)});

	EXPECT_TRUE(
	    in_order(rig.lines(), {
				      "3 Created 103 -> 102 by 102",
				      "4 Ended 102 -> 101 status 0 zombie",
				      "30 Collected 102 -> 101 wait",
				      "40 Ended 103 -> 50 status 0 zombie",
				      "40 Collected 103 -> 50 wait",
				  }));
}

/*
 * The ring lost the fork record: the child is found by looking, from its
 * start as the kernel keeps it, to the tick (forked on one here).
 */
TEST(TrackerRecords, AChildWhoseForkRecordWasLostIsFound)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 10 * ms;
	(void)rig.sys.fork(101, 102);
	rig.sys.t = 14 * ms;
	rig.turn({}, Loss{1, 1 * ms, rig.sys.t});
	rig.sys.t = 30 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 40 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "10 Created 102 -> 101 by 101",
				   "14 Lost 1 since 1",
				   "30 Ended 102 -> 101 status 0 zombie",
				   "40 Collected 102 -> 101 wait",
			       }));
	EXPECT_TRUE(rig.sys.unfollowed.empty());
}

/*
 * Its child's fork record was lost too.  Not asserted, as none is told:
 * 103 created at 20 ms by 102, a zombie from 30 ms, collected at 40 ms.
 */
TEST(TrackerRecords, AGrandchildWhoseForkRecordWasLostToo)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 10 * ms;
	(void)rig.sys.fork(101, 102);
	rig.sys.t = 20 * ms;
	(void)rig.sys.fork(102, 103);
	rig.sys.t = 25 * ms;
	rig.turn({}, Loss{2, 1 * ms, rig.sys.t});
	rig.sys.t = 30 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 40 * ms;
	rig.sys.reap(103, 102);
	rig.turn({});
	rig.sys.t = 50 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 60 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	EXPECT_TRUE(
	    in_order(rig.lines(), {
				      "10 Created 102 -> 101 by 101",
				      "50 Ended 102 -> 101 status 0 zombie",
				      "60 Collected 102 -> 101 wait",
				  }));
}

/* A number collected, then forked again: two processes, both told. */
TEST(TrackerRecords, ANumberUsedAgainIsAnotherProcess)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 20 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});
	rig.sys.t = 30 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 40 * ms;
	rig.turn({rig.sys.exit(102, 1 << 8)});
	rig.sys.t = 50 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "10 Ended 102 -> 101 status 0 zombie",
				   "20 Collected 102 -> 101 wait",
				   "30 Created 102 -> 101 by 101",
				   "40 Ended 102 -> 101 status 1 zombie",
				   "50 Collected 102 -> 101 wait",
			       }));
	EXPECT_EQ(numbered(rig, 102).size(), 2U);
	std::string s = summary(rig.log);
	EXPECT_NE(s.find("child 102 was a zombie from 0.010s to 0.020s"),
	    std::string::npos)
	    << s;
	EXPECT_NE(s.find("child 102 was a zombie from 0.040s to 0.050s"),
	    std::string::npos)
	    << s;
}

/*
 * The same within one turn: forked, ended, collected and forked again
 * before the watcher reads a record.  Not asserted, as it is not told:
 * "2 Created 102 -> 101 by 101", the first one's creation.
 */
TEST(TrackerRecords, ANumberUsedAgainWithinOneTurn)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	Record first = rig.sys.fork(101, 102);
	rig.sys.t = 3 * ms;
	Record first_end = rig.sys.exit(102, 0);
	rig.sys.t = 4 * ms;
	rig.sys.reap(102, 101);
	rig.sys.t = 5 * ms;
	Record second = rig.sys.fork(101, 102);
	rig.sys.t = 6 * ms;
	Record second_end = rig.sys.exit(102, 1 << 8);
	rig.sys.t = 7 * ms;
	rig.turn({first, first_end, second, second_end});
	rig.sys.t = 50 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	/* The first never held: its status is not known. */
	EXPECT_TRUE(
	    in_order(rig.lines(), {
				      "2 Created 102 -> 101 by 101",
				      "3 Ended 102 -> 101",
				      "5 Created 102 -> 101 by 101",
				      "6 Ended 102 -> 101 status 1 zombie",
				      "50 Collected 102 -> 101 wait",
				  }));
	std::vector<ProcId> ids = numbered(rig, 102);
	ASSERT_EQ(ids.size(), 2U);
	/*
	 * Collected at 4 ms, seen gone at 7: by its parent, with wait, and
	 * before its number was given again.
	 */
	const Process &p = rig.log.proc(ids[0]);
	ASSERT_TRUE(p.collected);
	const Event &c = rig.log.events()[*p.collected];
	EXPECT_EQ(c.other, rig.id(101));
	EXPECT_EQ(c.how, How::Wait);
	EXPECT_LE(c.t, 5 * ms);
}

/*
 * A number used again while the ring lost the second fork record.  Not
 * asserted, as none is told: the second 102, created at 25 ms by 101, a
 * zombie from 30 ms, collected at 40 ms.
 */
TEST(TrackerRecords, ANumberUsedAgainWhoseForkRecordWasLost)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 25 * ms;
	rig.sys.reap(102, 101);
	(void)rig.sys.fork(101, 102);
	rig.turn({}, Loss{2, 10 * ms, rig.sys.t});
	rig.sys.t = 30 * ms;
	rig.turn({rig.sys.exit(102, 1 << 8)});
	rig.sys.t = 40 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	EXPECT_TRUE(
	    in_order(rig.lines(), {
				      "2 Created 102 -> 101 by 101",
				      "10 Ended 102 -> 101 status 0 zombie",
				      "25 Collected 102 -> 101 wait",
				  }));
}

/*
 * A process gone before it could be held has no status to tell: not the
 * status of another that is held, such as the program's, ended in the
 * same turn.
 */
TEST(TrackerRecords, AStatusIsNeverAnotherProcesss)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 200 * ms;
	Record fork = rig.sys.fork(102, 103);
	Record exit = rig.sys.exit(103, 0);
	rig.sys.reap(103, 102);
	rig.sys.t = 201 * ms;
	Record program = rig.sys.exit(101, 7 << 8);
	rig.sys.t = 203 * ms;
	rig.turn({fork, exit, program});

	EXPECT_TRUE(in_order(rig.lines(),
	    {
		"200 Created 103 -> 102 by 102",
		"200 Ended 103 -> 102",
		"201 Ended 101 -> 50 status 7 zombie",
	    }))
	    << ::testing::PrintToString(rig.lines());
}

/*
 * A set-user-ID exec: the kernel writes an exit record for the process and
 * stops following it, and it runs on.  No end is told then; the child it
 * makes since, which no record tells, is found by looking, and the real end
 * is told when its pidfd says so.
 */
TEST(TrackerRecords, ASetIdExecIsNoEnd)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.exec_setid(102)});
	rig.sys.t = 20 * ms;
	(void)rig.sys.fork(102, 103);
	rig.sys.t = 60 * ms;
	rig.turn({});
	rig.sys.t = 1000 * ms;
	(void)rig.sys.exit(103, 0);
	(void)rig.sys.exit(102, 0);
	rig.turn({});

	Lines told = rig.lines();
	EXPECT_TRUE(in_order(told,
	    {
		"10 Unrecorded 102",
		"20 Created 103 -> 102 by 102",
		"1000 Ended 102 -> 101 status 0 zombie",
	    }))
	    << testing::PrintToString(told);
	for (const std::string &l : told)
		EXPECT_EQ(l.find("10 Ended"), std::string::npos) << l;

	/*
	 * Its fork and its exec read in one turn, as under load: it is
	 * held only after the exec's record, and that record is still no
	 * end.  Its end is told when its pidfd says so, as seen.
	 */
	TrackerRig at_once;
	at_once.sys.t = 1 * ms;
	at_once.start(101);
	at_once.sys.t = 2 * ms;
	Record fork = at_once.sys.fork(101, 102);
	at_once.sys.t = 3 * ms;
	at_once.turn({fork, at_once.sys.exec_setid(102)});
	at_once.sys.t = 60 * ms;
	at_once.turn({});
	at_once.sys.t = 500 * ms;
	(void)at_once.sys.exit(102, 0);
	at_once.turn({});
	told = at_once.lines();
	EXPECT_TRUE(in_order(told,
	    {
		"2 Created 102 -> 101 by 101",
		"3 Unrecorded 102",
		"500 Ended 102 -> 101 status 0 zombie",
	    }))
	    << testing::PrintToString(told);
	for (const std::string &l : told)
		EXPECT_EQ(l.find("3 Ended"), std::string::npos) << l;
}

/*
 * Forked, ended and collected before it was held, and its number forked
 * again before the pin, whose record comes in the next turn: the pin held
 * the second process, running, and the first's exit was its end, not a
 * set-ID exec.
 */
TEST(TrackerRecords, AnExitReadWithItsForkAndANumberUsedAgain)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	Record first = rig.sys.fork(101, 102);
	rig.sys.t = 3 * ms;
	Record first_end = rig.sys.exit(102, 0);
	rig.sys.reap(102, 101);
	rig.sys.t = 4 * ms;
	Record second = rig.sys.fork(101, 102);
	rig.sys.t = 5 * ms;
	rig.turn({first, first_end});
	rig.sys.t = 6 * ms;
	rig.turn({second});
	rig.sys.t = 90 * ms;
	(void)rig.sys.exit(102, 1 << 8);
	rig.turn({rig.sys.exit(102, 1 << 8)});

	Lines told = rig.lines();
	EXPECT_TRUE(in_order(told,
	    {
		"2 Created 102 -> 101 by 101",
		"3 Ended 102 -> 101",
		"4 Created 102 -> 101 by 101",
		"90 Ended 102 -> 101 status 1 zombie",
	    }))
	    << testing::PrintToString(told);
	for (const std::string &l : told)
		EXPECT_EQ(l.find("Unrecorded"), std::string::npos) << l;
}

/*
 * A thread the records never told, its fork record lost: its exit is the
 * last the count awaited, but the process runs on, and is not ended.
 */
TEST(TrackerRecords, AnUncountedThreadsExitIsNoEnd)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	(void)rig.sys.thread(101, 201);
	rig.sys.t = 5 * ms;
	rig.turn({rig.sys.thread_exit(101, 201)});
	rig.sys.t = 30 * ms;
	rig.turn({rig.sys.exit(101, 0)});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "30 Ended 101 -> 50 status 0 zombie",
				   "30 Collected 101 -> 50 wait",
			       }));
}

/*
 * The first fork record read only after its number was given again: the
 * pin taken then holds the second process, whose status, exit and
 * collection are not the first one's.
 */
TEST(TrackerRecords, ANumberUsedAgainBeforeTheFirstWasHeld)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	Record first = rig.sys.fork(101, 102);
	rig.sys.t = 3 * ms;
	Record first_end = rig.sys.exit(102, 0);
	rig.sys.t = 4 * ms;
	rig.sys.reap(102, 101);
	rig.sys.t = 5 * ms;
	Record second = rig.sys.fork(101, 102);
	rig.sys.t = 6 * ms;
	rig.turn({first});
	rig.sys.t = 7 * ms;
	rig.turn({first_end, second});
	rig.sys.t = 8 * ms;
	rig.turn({rig.sys.exit(102, 1 << 8)});
	rig.sys.t = 50 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	Lines lines = rig.lines();
	EXPECT_TRUE(in_order(lines,
	    {
		"2 Created 102 -> 101 by 101",
		"3 Ended 102 -> 101",
		"5 Created 102 -> 101 by 101",
		"8 Ended 102 -> 101 status 1 zombie",
		"50 Collected 102 -> 101 wait",
	    }))
	    << ::testing::PrintToString(lines);
	EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
		      [](const std::string &l) {
			      return l.find("status 1") != std::string::npos;
		      }),
	    1);
	EXPECT_EQ(numbered(rig, 102).size(), 2U);
}

/*
 * A collection seen after its collector's next fork: whether the parent
 * collected before it forked or after, no record says, so the time the
 * watcher saw it gone is only a bound.  Seen before any such fork, it is
 * the moment itself.
 */
TEST(TrackerRecords, ACollectionSeenAfterTheCollectorsNextForkIsABound)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 100 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 101 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});
	rig.sys.t = 102 * ms;
	rig.turn({rig.sys.fork(101, 103)});
	rig.sys.t = 200 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 201 * ms;
	rig.sys.reap(103, 101);
	rig.sys.t = 202 * ms;
	Record next = rig.sys.fork(101, 104);
	rig.sys.t = 203 * ms;
	rig.turn({next});

	EXPECT_TRUE(in_order(rig.lines(),
	    {
		"101 Collected 102 -> 101 wait",
		"202 Created 104 -> 101 by 101",
		"203 Collected 103 -> 101 wait late",
	    }))
	    << ::testing::PrintToString(rig.lines());
}
