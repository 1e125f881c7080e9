// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker alone, fed records written by hand: each case is a short
 * sequence of what the kernel did, and the events the watcher must tell.
 */
#include <gtest/gtest.h>

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
