// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker alone, fed records written by hand: each case is a short
 * sequence of what the kernel did, and the events the watcher must tell.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/timeline.h"
#include "tracker_rig.h"

/* The demonstration: a child left a zombie from 30 s until its parent ends. */
TEST(Tracker, DemonstrationChildIsAZombieUntilItsParentEnds)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101, "zombie");
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 30'002 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 60'001 * ms;
	rig.turn({rig.sys.exit(101, 0)});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "30002 Ended 102 -> 101 status 0 zombie",
				   "60001 Ended 101 -> 50 status 0 zombie",
				   "60001 Orphaned 102 -> 50 Z",
				   "60001 Collected 101 -> 50 wait",
				   "60001 Collected 102 -> 50 wait",
			       }));
	EXPECT_NE(summary(rig.log).find(
		      "child 102 was a zombie from 30.002s to 60.001s"),
	    std::string::npos)
	    << summary(rig.log);
	EXPECT_TRUE(rig.tracker->finished());
}

/*
 * A double fork whose middle process is collected before the watcher can
 * hold it: its child is still handed to the subreaper, and told so.
 */
TEST(Tracker, DoubleForkMiddleGoneBeforeHeld)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	Record a = rig.sys.fork(101, 102);
	Record b = rig.sys.fork(102, 103);
	rig.sys.t = 3 * ms;
	Record c = rig.sys.exit(102, 0);
	rig.sys.reap(102, 101);
	rig.sys.t = 4 * ms;
	rig.turn({a, b, c});
	rig.sys.t = 500 * ms;
	rig.turn({rig.sys.exit(103, 0)});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "2 Created 103 -> 102 by 102",
				   "3 Ended 102 -> 101",
				   "3 Orphaned 103 -> 50 S",
				   "4 Collected 102 -> 101 wait guessed",
				   "500 Ended 103 -> 50 status 0 zombie",
				   "500 Collected 103 -> 50 wait",
			       }));
}

/*
 * A thread-group leader that returns from main while another thread runs:
 * no zombie yet, and the process ends only with its last thread.
 */
/*
 * A thread execs: the main thread's exit the kernel writes then is no
 * thread ending, unless it was told long before.
 */
TEST(Tracker, AThreadThatExecsLeadsTheProcessAndNothingExited)
{
	for (Nanos exec_at : {11 * ms, 400 * ms}) {
		TrackerRig rig;
		rig.sys.t = 1 * ms;
		rig.start(101);
		rig.sys.t = 2 * ms;
		rig.turn({rig.sys.fork(101, 102)});
		rig.sys.t = 3 * ms;
		rig.turn({rig.sys.thread(102, 1021)});
		rig.sys.t = 10 * ms;
		Record main_end = rig.sys.thread_exit(102, 102);
		rig.sys.t = exec_at;
		rig.turn({main_end});
		/* As the watcher tells what is older than its window. */
		rig.pending.flush(exec_at - 100 * ms, rig.log, [](Index) {});
		rig.turn({rig.sys.exec(102, "sleep")});
		rig.sys.t = exec_at + 20 * ms;
		rig.turn({rig.sys.exit(102, 0)});

		Lines want = {"2 Created 102 -> 101 by 101",
		    std::to_string(exec_at / ms) + " Exec 102",
		    std::to_string(exec_at / ms + 20) +
			" Ended 102 -> 101 status 0 zombie"};
		if (exec_at > 100 * ms)
			want.insert(
			    want.begin() + 1, "10 MainExited 102 threads 1");
		Lines told = rig.lines();
		EXPECT_TRUE(in_order(told, want)) << exec_at;
		EXPECT_EQ(std::count(told.begin(), told.end(),
			      "10 MainExited 102 threads 1"),
		    exec_at > 100 * ms ? 1 : 0);
		/* Its main thread is not gone until the end. */
		const Process &p = rig.log.proc(*rig.id(102));
		EXPECT_FALSE(p.main_exited) << exec_at;
	}
}

TEST(Tracker, MainThreadEndsFirstAndTheProcessWithItsLastThread)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	rig.turn({rig.sys.thread(102, 1021), rig.sys.thread(102, 1022)});
	rig.sys.t = 8 * ms;
	rig.turn({rig.sys.thread_exit(102, 1022)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.thread_exit(102, 102)});
	rig.tracker->look();
	rig.sys.t = 20 * ms;
	rig.turn({rig.sys.thread_exit(102, 1021)});
	rig.sys.t = 30 * ms;
	rig.sys.reap(102, 101);
	rig.turn({});

	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "10 MainExited 102 threads 1",
				   "20 Ended 102 -> 101 status 0 zombie",
				   "30 Collected 102 -> 101 wait",
			       }));
	/* The look between: its main thread gone, one thread running. */
	auto states =
	    std::find_if(rig.log.events().begin(), rig.log.events().end(),
		[](const Event &e) { return e.what == What::States; });
	ASSERT_NE(states, rig.log.events().end());
	const Snapshot &snap = rig.log.snapshot(states->snapshot);
	ASSERT_EQ(snap.looks.size(), 2U);
	EXPECT_EQ(snap.looks[1].proc, rig.id(102));
	EXPECT_TRUE(snap.looks[1].main_exited);
	EXPECT_EQ(snap.looks[1].threads, 1);
	std::string s = summary(rig.log);
	EXPECT_NE(s.find("child 102 was no zombie while its main thread was "
			 "gone, from 0.010s to 0.020s"),
	    std::string::npos)
	    << s;
	EXPECT_NE(s.find("child 102 was a zombie from 0.020s to 0.030s"),
	    std::string::npos)
	    << s;
}

/* clone(CLONE_PARENT): the child's parent is its creator's parent. */
TEST(Tracker, CloneParentMakesASiblingNotAChild)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	rig.turn({rig.sys.fork(102, 103, true)});
	rig.sys.t = 10 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.sys.t = 20 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 30 * ms;
	rig.sys.reap(103, 101);
	rig.turn({});

	/* Its creator's end hands nothing over: it was never its child. */
	EXPECT_EQ(rig.lines(), (Lines{
				   "1 Started 101 -> 50",
				   "2 Created 102 -> 101 by 101",
				   "3 Created 103 -> 101 by 102",
				   "10 Ended 102 -> 101 status 0 zombie",
				   "20 Ended 103 -> 101 status 0 zombie",
				   "30 Collected 103 -> 101 wait",
			       }));
}

/*
 * A plain fork whose creator ends before the child is held: the child has
 * been handed over already, and its parent is its creator's parent, as
 * after CLONE_PARENT.  The creator's exit record is read a turn later, but
 * its pidfd says it has ended, so the child is taken for its own, handed
 * over, not for a sibling.
 */
TEST(Tracker, AChildHeldOnlyOnceItsCreatorEndedIsItsCreators)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	/* Its orphans come to it, as CLONE_PARENT's children would. */
	rig.sys.procs[101].subreaper = true;
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	Record fork = rig.sys.fork(102, 103);
	rig.sys.t = 4 * ms;
	Record end = rig.sys.exit(102, 0);
	rig.sys.t = 5 * ms;
	rig.turn({fork});
	rig.turn({end});

	EXPECT_TRUE(in_order(rig.lines(), {
					      "3 Created 103 -> 102 by 102",
					      "5 Orphaned 103 -> 101 S",
					  }));
}

/* The same, its creator's exit record read in the same turn as its fork. */
TEST(Tracker, CloneParentWhoseCreatorsEndIsReadWithIt)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.t = 3 * ms;
	Record clone = rig.sys.fork(102, 103, true);
	rig.sys.t = 10 * ms;
	Record end = rig.sys.exit(102, 0);
	rig.sys.t = 11 * ms;
	rig.turn({clone, end});
	rig.sys.t = 20 * ms;
	rig.turn({rig.sys.exit(103, 0)});
	rig.sys.t = 30 * ms;
	rig.sys.reap(103, 101);
	rig.turn({});

	/*
	 * Not asserted, as they are not true: "3 Created 103 -> 102 by 102"
	 * and "10 Orphaned 103 -> 101 S"; its parent was 101 from the start.
	 */
	EXPECT_TRUE(
	    in_order(rig.lines(), {
				      "10 Ended 102 -> 101 status 0 zombie",
				      "20 Ended 103 -> 101 status 0 zombie",
				      "30 Collected 103 -> 101 wait",
				  }));
	const Process &p = rig.log.proc(*rig.id(103));
	ASSERT_TRUE(p.created);
	EXPECT_EQ(rig.log.events()[*p.created].t, 3 * ms);
	EXPECT_EQ(rig.log.events()[*p.created].by, rig.id(102));
}

/* The signal a zombie's parent was sent is read with its end. */
TEST(Tracker, AZombiesExitSignalIsReadWithItsEnd)
{
	TrackerRig rig;
	rig.sys.t = 1 * ms;
	rig.start(101);
	rig.sys.t = 2 * ms;
	rig.turn({rig.sys.fork(101, 102)});
	rig.sys.procs[102].stat.exit_signal = 0;
	rig.sys.t = 3 * ms;
	rig.turn({rig.sys.exit(102, 0)});
	rig.flush();

	const Process &p = rig.log.proc(*rig.id(102));
	ASSERT_TRUE(p.ended);
	EXPECT_TRUE(rig.log.events()[*p.ended].zombie);
	EXPECT_EQ(rig.log.events()[*p.ended].exit_signal, 0);
}
