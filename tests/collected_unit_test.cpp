// SPDX-License-Identifier: BSD-2-Clause
/*
 * Who collected what, from the growth of page-fault counts, and what the
 * end of a run says of it: the reaper check's lines, the timeline and the
 * summary, from logs made by hand.
 */

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/attribute.h"
#include "core/log.h"
#include "core/verdict.h"
#include "log_events.h"
#include "report/picture.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "story.h"

TEST(Reaper, VerdictsOnEachOrphan)
{
	Story r;
	r.style.reaper_wait = sec;
	ProcId init = r.log.add_process(1, Role::Outsider, "init");
	ProcId bare = r.log.add_process(900, Role::Outsider);
	std::vector<ProcId> c;
	for (pid_t pid = 7826; pid <= 7832; pid++)
		c.push_back(r.forked(0, pid, r.program));
	for (int k : {0, 2, 6})
		r.put(ended(5 * sec, c.at(k), r.program, 0, true));
	r.put(ended(10 * sec, r.program, r.watcher, 0, false));
	for (size_t k = 0; k < c.size(); k++)
		r.put(orphaned(10001 * ms, c[k],
		    k == 4   ? r.watcher
		    : k == 6 ? bare
			     : init,
		    k == 0 || k == 2 || k == 6 ? 'Z' : 'S'));
	r.put(collected(10001 * ms, c[6], std::nullopt, How::Released));
	r.put(collected(10501 * ms, c[0], init, How::Wait));
	r.put(at(11 * sec, What::Unfollowed, c[3]));
	std::string p = r.put(ended(12 * sec, c[1], init, 0, true));
	/* No longer "while the parent lives": its parent is the reaper. */
	EXPECT_EQ(reasons(p), "Its new parent, PID 1 (init), has not collected "
			      "it with wait, so the kernel keeps its entry and "
			      "exit status: a zombie.");
	r.put(collected(12250 * ms, c[1], init, How::Wait));
	EXPECT_EQ(verdicts(r.log, r.style),
	    "reaper: child 7826 was collected with wait by PID 1 (init) 0.500s "
	    "after it was handed over as a zombie\n"
	    "reaper: child 7827 was collected with wait by PID 1 (init) 0.250s "
	    "after it ended\n"
	    "reaper: child 7828 was not collected by PID 1 (init) within "
	    "1.000s of its hand-over as a zombie\n"
	    "        PID 1 (init) did not collect it within 1.000s; a reaper "
	    "that never does lets zombies pile up.\n"
	    "reaper: child 7829 could not be followed to its end: no verdict\n"
	    "reaper: child 7831 still ran when the check ended: no verdict\n"
	    "reaper: child 7832 was released by the kernel because PID 900 "
	    "ignores SIGCHLD; no one called wait\n");
	EXPECT_EQ(status_of_check(judge(r.log, r.style.reaper_wait)), 3);
	EXPECT_TRUE(has(timeline(r.log, 20 * sec, r.style),
	    "exited with status 0; not collected by PID 1 (init)\n"));

	/* A pass needs an orphan checked, and every orphan followed. */
	Story fine;
	EXPECT_EQ(status_of_check(judge(fine.log, fine.style.reaper_wait)), 4);
	ProcId child = fine.forked(0, 7826, fine.program);
	ProcId init1 = fine.log.add_process(1, Role::Outsider);
	fine.put(orphaned(sec, child, init1, 'S'));
	fine.put(ended(2 * sec, child, init1, 0, true));
	fine.put(collected(3 * sec, child, init1, How::Wait));
	EXPECT_EQ(status_of_check(judge(fine.log, fine.style.reaper_wait)), 0);
	ProcId lost = fine.forked(0, 7827, fine.program);
	fine.put(orphaned(sec, lost, init1, 'S'));
	fine.put(at(4 * sec, What::Unfollowed, lost));
	EXPECT_EQ(status_of_check(judge(fine.log, fine.style.reaper_wait)), 4);
}

TEST(Timeline, ColumnsFitTheRunAndRowsAreCapped)
{
	EXPECT_EQ(column_width(0), 100 * ms);
	EXPECT_EQ(column_width(7250 * ms), 100 * ms);
	EXPECT_EQ(column_width(7251 * ms), 200 * ms);
	EXPECT_EQ(column_width(60 * sec), sec);
	EXPECT_EQ(column_width(72500 * ms), sec);
	EXPECT_EQ(column_width(72501 * ms), 2 * sec);
	EXPECT_EQ(column_width(sec * 86400 * 100), 86400 * sec);

	Story r;
	r.forked(0, 7826, r.program);
	r.seen(r.program, sec);
	/* 60.003 s rounds to 60 columns of a second, 60.5 s to 61. */
	EXPECT_EQ(split(timeline(r.log, 60003 * ms, r.style), '\n').at(3),
	    "parent 7822  " + std::string(60, 'S'));
	EXPECT_EQ(split(timeline(r.log, 60500 * ms, r.style), '\n').at(3),
	    "parent 7822  " + std::string(61, 'S'));
	EXPECT_EQ(timeline(r.log, 3 * sec, r.style)
		      .find("timeline: one column is 0.1s;"),
	    0U);
	for (pid_t pid = 7827; pid < 7827 + 44; pid++)
		r.child(pid);
	std::vector<std::string> rows =
	    split(timeline(r.log, 60 * sec, r.style), '\n');
	ASSERT_EQ(rows.size(), 3U + 40U + 1U);
	EXPECT_EQ(rows.back(), "... and 6 more processes");
	EXPECT_EQ(summary(r.log), "summary: no zombie was seen\n");
}

/*
 * A child that ended before the watcher could look at it, as on a loaded
 * machine: how it lived is unknown, so it is not drawn asleep.
 */
TEST(Timeline, AProcessNeverSeenAliveIsNotDrawnAsleep)
{
	Story r;
	r.seen(r.program, 100 * ms);
	ProcId c = r.forked(0, 7826, r.program);
	r.put(ended(2 * sec, c, r.program, 0, false));
	Event reap = collected(2 * sec, c, r.program, How::Wait);
	reap.guess = Guess::Unread;
	r.put(reap);
	std::vector<std::string> rows =
	    split(timeline(r.log, 3 * sec, r.style), '\n');
	ASSERT_EQ(rows.size(), 5U);
	EXPECT_TRUE(has(rows[0], ", ? not seen alive")) << rows[0];
	EXPECT_EQ(rows[3].substr(13, 30), std::string(30, 'S'));
	EXPECT_EQ(rows[4].substr(13, 30),
	    std::string(20, '?') + std::string(10, '.'));
	std::string svg = timeline_svg(r.log, 3 * sec);
	EXPECT_TRUE(has(svg, ">? not seen alive<"));
	EXPECT_FALSE(has(svg, "sleeping from 0.000s to 2.000s (process 7826)"))
	    << svg;

	r.seen(c, sec);
	EXPECT_FALSE(has(timeline(r.log, 3 * sec, r.style), "?"));
	EXPECT_FALSE(has(timeline_svg(r.log, 3 * sec), "not seen"));
}

namespace {

/* A candidate collector whose count of its children's faults is known. */
Candidate
counted(ProcId who, std::optional<long long> count, bool ignores = false)
{
	Candidate c;
	c.who = who;
	c.count = count;
	c.ignores = ignores;
	return c;
}

} // namespace

/* Who collected what, from the growth of each candidate's count. */
TEST(Attribute, TheCountThatGrewByTheChildsCollectedIt)
{
	Ledger l;
	/* Two orphans collected at once by a subreaper: both are its. */
	std::vector<Candidate> orphan = {counted(1, 0), counted(2, 300)};
	Attribution a = l.attribute(100, orphan);
	EXPECT_EQ(a.by, std::optional<ProcId>(2));
	EXPECT_TRUE(a.measured);
	a = l.attribute(200, orphan);
	EXPECT_EQ(a.by, std::optional<ProcId>(2));
	/* A third finds nothing left: released, and by whom it says. */
	a = l.attribute(50, {counted(2, 300, true)});
	EXPECT_FALSE(a.by);
	EXPECT_EQ(a.how, How::Released);
	EXPECT_TRUE(a.ignores);
	EXPECT_EQ(a.guess, Guess::None);
}

TEST(Attribute, WhatCannotBeMeasuredIsInferredAndSaysSo)
{
	Ledger l;
	/* Faults unread: any growth will do, once for each at once. */
	Attribution a = l.attribute(std::nullopt, {counted(1, 40)});
	EXPECT_EQ(a.by, std::optional<ProcId>(1));
	EXPECT_EQ(a.guess, Guess::Unread);
	EXPECT_EQ(l.attribute(std::nullopt, {counted(1, 40)}).by,
	    std::optional<ProcId>(1));
	/*
	 * Settled, the first's growth is not left for a later child; nor can
	 * the count, credited on a guess, show that one released: the
	 * disposition decides, and the guess is the count's.
	 */
	l.settle();
	a = l.attribute(std::nullopt, {counted(1, 40, true)});
	EXPECT_EQ(a.how, How::Released);
	EXPECT_EQ(a.guess, Guess::Mixed);
	a = l.attribute(std::nullopt, {counted(1, 40)});
	EXPECT_EQ(a.by, std::optional<ProcId>(1));
	EXPECT_EQ(a.guess, Guess::Mixed);
	/*
	 * But a child whose faults were read, collected with them, may be
	 * in what was settled: the count cannot say, so no release is told.
	 */
	a = l.attribute(30, {counted(1, 40)});
	EXPECT_EQ(a.by, std::optional<ProcId>(1));
	EXPECT_EQ(a.how, How::Wait);
	EXPECT_EQ(a.guess, Guess::Mixed);
	/* No faults moves no count: the disposition decides. */
	a = l.attribute(0, {counted(3, 0)});
	EXPECT_EQ(a.by, std::optional<ProcId>(3));
	EXPECT_EQ(a.guess, Guess::NoFaults);
	EXPECT_EQ(l.attribute(0, {counted(3, 0, true)}).how, How::Released);
	/* A parent that cannot be read is not passed over for a reaper. */
	a = l.attribute(10, {counted(4, std::nullopt), counted(5, 999)});
	EXPECT_EQ(a.by, std::optional<ProcId>(4));
	EXPECT_EQ(a.guess, Guess::NoCount);
}
