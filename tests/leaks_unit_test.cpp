// SPDX-License-Identifier: BSD-2-Clause
/*
 * The leak check's decisions, from logs made by hand: which zombies the
 * program's tree held too long or left behind, who held them, for how
 * long, and the status a grader gates on.
 */

#include <gtest/gtest.h>

#include "core/leaks.h"
#include "core/log.h"
#include "log_events.h"

namespace {

constexpr Nanos limit = 1 * sec;

struct Tree {
	Log log;
	ProcId watcher = log.add_process(500, Role::Watcher);
	ProcId program = log.add_process(501, Role::Program, "shell");

	ProcId child(pid_t pid, ProcId parent)
	{
		ProcId id = log.add_process(pid, Role::Child);
		Event e = at(0, What::Created, id, parent);
		e.by = parent;
		log.append(e);
		return id;
	}
	void lived(ProcId id, ProcId parent, Nanos end, Nanos gone)
	{
		log.append(ended(end, id, parent, 0));
		log.append(collected(gone, id, parent, How::Wait));
	}
	int status(const LeakCheck &c, bool lost = false) const
	{
		ExitFacts f;
		f.mode = Mode::Leaks;
		f.check = tally(c);
		f.records_lost = lost;
		return static_cast<int>(exit_status(f));
	}
};

} // namespace

/*
 * Held past the limit is a leak of the parent that held it; collected in
 * time is none, and a double fork's grandchild, the watcher's to collect,
 * is none of the program's.
 */
TEST(Leaks, AZombieHeldTooLongIsItsParentsLeak)
{
	Tree r;
	ProcId quick = r.child(502, r.program);
	ProcId slow = r.child(503, r.program);
	ProcId mid = r.child(504, r.program);
	ProcId grand = r.child(505, mid);
	r.lived(quick, r.program, 100 * ms, 300 * ms);
	r.log.append(ended(200 * ms, mid, r.program, 0));
	r.log.append(orphaned(200 * ms + 1, grand, r.watcher, 'S'));
	r.log.append(collected(210 * ms, mid, r.program, How::Wait));
	r.log.append(ended(500 * ms, slow, r.program, 0));
	r.log.append(ended(900 * ms, grand, r.watcher, 0));
	/* The watcher above is slow: still not the program's fault. */
	r.log.append(collected(3 * sec, grand, r.watcher, How::Wait));
	Event late = collected(2 * sec, slow, r.program, How::Wait);
	late.late = true;
	r.log.append(late);

	LeakCheck c = find_leaks(r.log, limit, 4 * sec);
	ASSERT_EQ(c.leaks.size(), 1U);
	EXPECT_EQ(c.leaks[0].child, slow);
	EXPECT_EQ(c.leaks[0].parent, r.program);
	EXPECT_EQ(c.leaks[0].held, 1500 * ms);
	EXPECT_TRUE(c.leaks[0].at_most);
	EXPECT_FALSE(c.leaks[0].left);
	EXPECT_EQ(r.status(c), 3);

	/* Within a limit of two seconds, nothing leaked. */
	c = find_leaks(r.log, 2 * sec, 4 * sec);
	EXPECT_TRUE(c.leaks.empty());
	EXPECT_EQ(r.status(c), 0);
}

/*
 * A parent that ends with a zombie child never collected it, however
 * soon the reaper above did; a subreaper of the tree that then holds it
 * too long leaks it as well.
 */
TEST(Leaks, AZombieLeftAtItsParentsEndIsALeak)
{
	Tree r;
	ProcId sub = r.child(502, r.program);
	ProcId mid = r.child(503, sub);
	ProcId grand = r.child(504, mid);
	r.log.append(ended(100 * ms, grand, mid, 0));
	r.log.append(ended(300 * ms, mid, sub, 0));
	r.log.append(orphaned(300 * ms + 1, grand, sub, 'Z'));
	r.log.append(collected(320 * ms, mid, sub, How::Wait));
	r.log.append(collected(2 * sec, grand, sub, How::Wait));
	r.lived(sub, r.program, 2100 * ms, 2200 * ms);

	LeakCheck c = find_leaks(r.log, limit, 3 * sec);
	ASSERT_EQ(c.leaks.size(), 2U);
	EXPECT_EQ(c.leaks[0].child, grand);
	EXPECT_EQ(c.leaks[0].parent, mid);
	EXPECT_TRUE(c.leaks[0].left);
	EXPECT_EQ(c.leaks[0].held, 200 * ms + 1);
	EXPECT_EQ(c.leaks[1].child, grand);
	EXPECT_EQ(c.leaks[1].parent, sub);
	EXPECT_FALSE(c.leaks[1].left);
	EXPECT_EQ(c.leaks[1].held, 1700 * ms - 1);
	EXPECT_EQ(r.status(c), 3);
}

/*
 * What cannot be judged makes the check say so, unless a leak decides
 * it: a child not followed, a zombie still held within the limit when
 * the check ended, records lost.  One held past it at the end leaked.
 */
TEST(Leaks, WhatCannotBeJudgedIsNoPass)
{
	Tree r;
	LeakCheck c = find_leaks(r.log, limit, sec);
	EXPECT_EQ(r.status(c), 0);
	EXPECT_EQ(r.status(c, true), 4);

	ProcId lost = r.child(502, r.program);
	r.log.append(at(0, What::Unfollowed, lost));
	c = find_leaks(r.log, limit, sec);
	EXPECT_EQ(c.unjudged, 1U);
	EXPECT_EQ(r.status(c), 4);

	ProcId held = r.child(503, r.program);
	r.log.append(ended(sec, held, r.program, 0));
	c = find_leaks(r.log, limit, 1500 * ms);
	EXPECT_EQ(c.unjudged, 2U);
	EXPECT_EQ(r.status(c), 4);

	c = find_leaks(r.log, limit, 2500 * ms);
	ASSERT_EQ(c.leaks.size(), 1U);
	EXPECT_TRUE(c.leaks[0].open);
	EXPECT_EQ(c.leaks[0].held, 1500 * ms);
	EXPECT_EQ(r.status(c), 3);
}
