// SPDX-License-Identifier: BSD-2-Clause
/*
 * The watcher's words, from logs made by hand: each case is a run as the
 * tracker would log it, and what the learner would read of it.
 */

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/pending.h"
#include "core/verdict.h"
#include "log_events.h"
#include "report/jsonl.h"
#include "report/narrate.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "report/words.h"
#include "story.h"

TEST(Narrate, DefaultLifecycleFromStartToCollection)
{
	Story r;
	EXPECT_EQ(r.put(at(0, What::Started, r.program, r.watcher)),
	    "[  0.0s] zombie-watch (7821) started zombie as process 7822\n");
	ProcId c = r.forked(2 * ms, 7826, r.program);
	EXPECT_EQ(head(r.printed.substr(r.printed.find('\n') + 1)),
	    "[  0.0s] parent 7822 created child 7826");
	EXPECT_TRUE(has(reasons(r.printed), "Its parent made it with fork"));
	for (int s = 1; s <= 30; s++) {
		Event e = at(s * sec, What::Sample, c);
		e.state = 'S';
		EXPECT_EQ(r.put(e), "");
	}
	r.seen(r.program, 30 * sec);
	EXPECT_EQ(r.look(5 * sec, {{r.program, 7821, 'S', false, 1},
				      {c, 7822, 'S', false, 1}}),
	    "[  5.0s] parent 7822 sleeping (S), child 7826 of 7822 sleeping "
	    "(S)\n");

	std::string p = r.put(ended(30008 * ms, c, r.program, 0, true));
	EXPECT_EQ(head(p), "[ 30.0s] child 7826 of 7822 exited with status 0, "
			   "now a zombie (Z)");
	EXPECT_EQ(reasons(p),
	    "Its parent 7822 has not collected it with wait, so the kernel "
	    "keeps its entry and exit status: a zombie. While the parent "
	    "lives, only the parent, from any of its threads, may collect it: "
	    "no init and no subreaper "
	    "may. As it ended, the kernel sent its parent SIGCHLD. Left at its "
	    "default action the signal is ignored, which, unlike SIG_IGN, "
	    "releases nothing and wakes no sleep; a parent that catches it, "
	    "or reads it from a signalfd, and calls waitpid(-1, &status, "
	    "WNOHANG) in a loop collects every ended child. A zombie "
	    "cannot be killed: it runs no code, so kill -9 succeeds and "
	    "changes nothing. The cure is a parent that waits, or ending the "
	    "parent so that a reaper adopts it. Meanwhile it holds its PID, "
	    "exit status and resource usage, and counts against its user's "
	    "process limit (RLIMIT_NPROC) and its container's pids.max: enough "
	    "zombies stop new processes from starting.");
	/* Each lesson starts a line of its own. */
	EXPECT_TRUE(has(p, "\n         As it ended, the kernel"));
	EXPECT_TRUE(has(p, "\n         A zombie cannot be killed"));
	p = r.put(ended(60 * sec, r.program, r.watcher, 0, false));
	EXPECT_EQ(head(p), "[ 60.0s] parent 7822 exited with status 0");
	EXPECT_EQ(reasons(p), "Its parent is zombie-watch, which collects it "
			      "at once.");
	r.put(collected(60 * sec, r.program, r.watcher, How::Wait));
	p = r.put(orphaned(60001 * ms, c, r.watcher, 'Z'));
	EXPECT_EQ(head(p), "[ 60.0s] child 7826, orphaned and still zombie "
			   "(Z), passes to zombie-watch (7821)");
	EXPECT_TRUE(
	    has(reasons(p), "within its PID namespace, else to that "
			    "namespace's init (PID 1 only inside it); here "
			    "that is zombie-watch (7821); its new parent may "
			    "collect it at last."));
	EXPECT_EQ(r.look(60004 * ms, {{c, 7821, 'Z', false, 1}}, 1),
	    "[ 60.0s] parent 7822 gone, waiting for 1 adopted process, child "
	    "7826 of 7821 zombie (Z)\n");
	Event reap = collected(60008 * ms, c, r.watcher, How::Wait);
	reap.status = 0;
	p = r.put(reap);
	EXPECT_EQ(head(p), "[ 60.0s] zombie-watch (7821) collected child 7826, "
			   "which exited with status 0");
	EXPECT_TRUE(has(reasons(p), "zombie-watch (7821), its parent now, "
				    "called wait"));
	/* Printed later, each line still says only what was known then. */
	EXPECT_EQ(r.replay(), r.printed);

	EXPECT_EQ(summary(r.log), "summary: child 7826 was a zombie from "
				  "30.008s to 60.008s, for 30.000s\n");
	std::string pad(13, ' ');
	std::string fate = " exited with status 0; collected by zombie-watch "
			   "(7821)\n";
	EXPECT_EQ(timeline(r.log, 60010 * ms, r.style),
	    "timeline: one column is 1s; S sleeping, R running, Z zombie, . "
	    "not there\n" +
		pad +
		"0s        10s       20s       30s       40s       50s       "
		"60s\n" +
		pad +
		"|         |         |         |         |         |    " +
		"     |\n" + "parent 7822  " + std::string(60, 'S') + fate +
		"child 7826   " + std::string(30, 'S') + std::string(30, 'Z') +
		fate);
}

TEST(Narrate, KernelReleasesWithoutAnyoneWaiting)
{
	Story r;
	ProcId ignored = r.forked(0, 7826, r.program);
	ProcId nocldwait = r.forked(0, 7827, r.program);
	r.seen(ignored, ms);
	r.seen(nocldwait, ms);
	std::string p = r.put(ended(3 * sec, ignored, r.program, 0, false));
	EXPECT_EQ(head(p), "[  3.0s] child 7826 of 7822 exited with status 0");
	EXPECT_TRUE(has(reasons(p), "the next line says who collected it."));
	Event gone = collected(3 * sec, ignored, std::nullopt, How::Released);
	gone.ignores = true;
	p = r.put(gone);
	EXPECT_EQ(head(p), "[  3.0s] the kernel released child 7826 as it "
			   "ended, since its parent 7822 ignores SIGCHLD");
	EXPECT_EQ(reasons(p), "A parent that ignores SIGCHLD, or sets "
			      "SA_NOCLDWAIT, has the kernel release its "
			      "children as they end: no one calls wait, and "
			      "they never stay zombies.");
	r.put(ended(4 * sec, nocldwait, r.program, 0, false));
	/* Seen a little late: it was released, not a zombie, meanwhile. */
	p = r.put(collected(4400 * ms, nocldwait, std::nullopt, How::Released));
	EXPECT_EQ(head(p), "[  4.4s] the kernel released child 7827 as it "
			   "ended");
	for (const char *lie :
	    {"called wait", "waiting", "discard", "(Z)", "default action"})
		EXPECT_FALSE(has(r.printed, lie)) << lie;
	EXPECT_EQ(summary(r.log),
	    "summary: child 7826 was never a zombie: the kernel released it as "
	    "it ended\n"
	    "summary: child 7827 was never a zombie: the kernel released it as "
	    "it ended\n");
	std::vector<std::string> rows =
	    split(timeline(r.log, 10 * sec, r.style), '\n');
	ASSERT_EQ(rows.size(), 6U);
	EXPECT_EQ(rows[4], "child 7826   " + std::string(15, 'S') +
			       std::string(35, '.') +
			       " exited with status 0; released by the kernel");
	EXPECT_EQ(rows[5].substr(13, 50),
	    std::string(20, 'S') + std::string(30, '.'));

	/*
	 * Handed to a reaper that ignores SIGCHLD: released at once if a
	 * zombie already, else as it ends.
	 */
	Story h;
	ProcId reaper = h.log.add_process(900, Role::Outsider, "reaper");
	ProcId c = h.forked(0, 7826, h.program);
	ProcId alive = h.forked(0, 7827, h.program);
	h.put(ended(10 * sec, c, h.program, 0, true));
	h.put(ended(20 * sec, h.program, h.watcher, 0, false));
	h.put(orphaned(20001 * ms, c, reaper, 'Z'));
	h.put(orphaned(20001 * ms, alive, reaper, 'S'));
	p = h.put(collected(20001 * ms, c, std::nullopt, How::Released));
	EXPECT_EQ(head(p), "[ 20.0s] the kernel released child 7826 as it "
			   "passed to PID 900 (reaper), which ignores SIGCHLD");
	h.put(ended(25 * sec, alive, reaper, 0, false));
	gone = collected(25 * sec, alive, std::nullopt, How::Released);
	gone.ignores = true;
	EXPECT_EQ(head(h.put(gone)), "[ 25.0s] the kernel released child 7827 "
				     "as it ended, since its parent PID 900 "
				     "(reaper) ignores SIGCHLD");
	EXPECT_EQ(summary(h.log),
	    "summary: child 7826 was a zombie from 10.000s to 20.001s, for "
	    "10.001s\n"
	    "summary: child 7827 was never a zombie: the kernel released it as "
	    "it ended\n");
	EXPECT_EQ(verdicts(h.log, h.style),
	    "reaper: child 7826 was released by the kernel because PID 900 "
	    "(reaper) ignores SIGCHLD; no one called wait\n"
	    "reaper: child 7827 was released by the kernel because PID 900 "
	    "(reaper) ignores SIGCHLD; no one called wait\n");
	EXPECT_EQ(status_of_check(judge(h.log, h.style.reaper_wait)), 0);
}

TEST(Narrate, ParentCollectsThreeChildrenThenExits)
{
	Story r;
	std::vector<ProcId> kids;
	for (pid_t pid : {7826, 7827, 7828})
		kids.push_back(r.forked((pid - 7825) * sec, pid, r.program));
	/* They end, and are collected, in an order other than their own. */
	for (int k : {2, 0, 1})
		r.put(ended((10 + k) * sec, kids.at(k), r.program,
		    W_EXITCODE(k, 0), true));
	for (int k : {1, 2, 0})
		EXPECT_TRUE(has(reasons(r.put(collected((20 + k) * sec,
				    kids.at(k), r.program, How::Wait))),
		    "Its parent called wait"));
	r.put(ended(30 * sec, r.program, r.watcher, 0, false));
	/* The lessons come once, under the first zombie told. */
	EXPECT_EQ(r.printed.find("kill -9"), r.printed.rfind("kill -9"));
	EXPECT_LT(r.printed.find("kill -9"), r.printed.find("] child 7826"));
	EXPECT_EQ(r.printed.find("SIGCHLD"), r.printed.rfind("SIGCHLD"));
	std::string heads;
	for (const std::string &l : split(r.printed, '\n'))
		if (l[0] == '[')
			heads += l + "\n";
	const std::string zombie = ", now a zombie (Z)\n";
	EXPECT_EQ(heads,
	    "[  1.0s] parent 7822 created child 7826\n"
	    "[  2.0s] parent 7822 created child 7827\n"
	    "[  3.0s] parent 7822 created child 7828\n"
	    "[ 12.0s] child 7828 of 7822 exited with status 2" +
		zombie + "[ 10.0s] child 7826 of 7822 exited with status 0" +
		zombie + "[ 11.0s] child 7827 of 7822 exited with status 1" +
		zombie +
		"[ 21.0s] parent 7822 collected child 7827, which exited with "
		"status 1\n"
		"[ 22.0s] parent 7822 collected child 7828, which exited with "
		"status 2\n"
		"[ 20.0s] parent 7822 collected child 7826, which exited with "
		"status 0\n"
		"[ 30.0s] parent 7822 exited with status 0\n");
	EXPECT_EQ(summary(r.log),
	    "summary: child 7826 was a zombie from 10.000s to 20.000s, for "
	    "10.000s\n"
	    "summary: child 7827 was a zombie from 11.000s to 21.000s, for "
	    "10.000s\n"
	    "summary: child 7828 was a zombie from 12.000s to 22.000s, for "
	    "10.000s\n");
}

TEST(Narrate, MainThreadGoneIsNoZombieWhileThreadsRun)
{
	Story r;
	ProcId c = r.forked(0, 7826, r.program);
	r.seen(c, ms);
	Event gone = at(10 * sec, What::MainExited, c);
	gone.count = 2;
	std::string p = r.put(gone);
	EXPECT_EQ(head(p), "[ 10.0s] child 7826's main thread exited; 2 "
			   "threads still run");
	EXPECT_TRUE(has(reasons(p), "alive and is not a zombie"));
	EXPECT_EQ(r.look(15 * sec, {{r.program, 7821, 'S', false, 1},
				       {c, 7822, 'Z', true, 2}}),
	    "[ 15.0s] parent 7822 sleeping (S), child 7826 of 7822 main thread "
	    "exited, 2 threads run\n");
	r.put(ended(20 * sec, c, r.program, 0, true));
	r.put(collected(25 * sec, c, r.program, How::Wait));
	EXPECT_EQ(summary(r.log),
	    "summary: child 7826 was no zombie while its main thread was "
	    "gone, from 10.000s to 20.000s: its other threads still ran\n"
	    "summary: child 7826 was a zombie from 20.000s to 25.000s, for "
	    "5.000s\n");
	r.style.colour = true;
	std::vector<std::string> rows =
	    split(timeline(r.log, 60 * sec, r.style), '\n');
	ASSERT_EQ(rows.size(), 5U);
	EXPECT_TRUE(has(rows[0], ". not there, z main thread gone, threads "
				 "run"));
	/* Only the zombie stands out, not the process its threads outlive. */
	EXPECT_EQ(rows[4],
	    "child 7826   " + std::string(10, 'S') + std::string(10, 'z') +
		"\033[1;7;31mZZZZZ\033[0m" + std::string(35, '.') +
		" exited with status 0; collected by parent 7822");

	Story one;
	gone = at(sec, What::MainExited, one.forked(0, 7826, one.program));
	one.seen(gone.proc, ms);
	gone.count = 1;
	EXPECT_EQ(head(one.put(gone)), "[  1.0s] child 7826's main thread "
				       "exited; 1 thread still runs");
	EXPECT_EQ(summary(one.log),
	    "summary: child 7826 has been no zombie since 1.000s, while its "
	    "main thread is gone: its other threads still run\n"
	    "summary: no zombie was seen\n");
	/* Its threads still ran when the run ended. */
	EXPECT_EQ(split(timeline(one.log, 10 * sec, one.style), '\n').at(4),
	    "child 7826   " + std::string(5, 'S') + std::string(45, 'z'));
}

TEST(Narrate, CreatorsParentsAndSignals)
{
	Story r;
	ProcId c = r.forked(0, 7826, r.program);
	Event e = at(sec, What::Created, r.child(7830), r.program);
	e.by = c;
	std::string p = r.put(e);
	EXPECT_EQ(head(p), "[  1.0s] child 7826 created child 7830, whose "
			   "parent is parent 7822");
	EXPECT_TRUE(has(reasons(p), "It was created with CLONE_PARENT"));
	p = r.put(at(2 * sec, What::Created, r.child(7831), r.watcher));
	EXPECT_EQ(head(p), "[  2.0s] child 7831 was found orphaned, passes to "
			   "zombie-watch (7821)");

	p = r.put(ended(3 * sec, c, r.program, W_EXITCODE(0, SIGKILL), true));
	EXPECT_EQ(head(p), "[  3.0s] child 7826 of 7822 was killed by signal 9 "
			   "(SIGKILL; a shell shows 137), now a zombie (Z)");
	EXPECT_EQ(reasons(p).find("SIGKILL ended it: it can be neither caught "
				  "nor ignored. Its parent 7822 has not"),
	    0U);
	p = r.put(ended(
	    5 * sec, r.program, r.watcher, W_EXITCODE(0, SIGTERM), false));
	EXPECT_EQ(head(p), "[  5.0s] parent 7822 was killed by signal 15 "
			   "(SIGTERM; a shell shows 143)");
	EXPECT_EQ(reasons(p), "SIGTERM ended it: with no handler to catch it, "
			      "its default action is to end the process. Its "
			      "parent is zombie-watch, which collects it at "
			      "once.");
	/* A signal whose action dumps core does so only where it may. */
	ProcId segv = r.forked(5 * sec, 7832, r.program);
	p = r.put(
	    ended(6 * sec, segv, r.watcher, W_EXITCODE(0, SIGSEGV), false));
	EXPECT_TRUE(has(reasons(p), "to end the process and dump core, though "
				    "none was written here."))
	    << p;
	EXPECT_EQ(describe_status(std::nullopt), "ended");
	EXPECT_EQ(describe_status(W_EXITCODE(0, 40)),
	    "was killed by signal 40 (a shell shows 168)");

	e = at(4 * sec, What::Signalled, r.watcher);
	e.signo = SIGINT;
	e.from_terminal = true;
	EXPECT_EQ(r.put(e), "[  4.0s] zombie-watch received SIGINT from the "
			    "terminal, which sent it to the program too\n");
	e.from_terminal = false;
	e.signo = SIGHUP;
	e.sent = SIGTERM;
	e.count = 2;
	EXPECT_EQ(r.put(e), "[  4.0s] zombie-watch received SIGHUP, sends "
			    "SIGTERM to 2 processes\n");
	e.count = 1;
	EXPECT_TRUE(has(r.put(e), " to 1 process\n"));
	e.count = 0;
	EXPECT_EQ(r.put(e), "[  4.0s] zombie-watch received SIGHUP; no process "
			    "is left to pass it on to\n");
	EXPECT_EQ(r.put(at(6 * sec, What::Unfollowed, c)), "");
}

/* ^C reaches parent and child together: a parent gone is not "alive". */
TEST(Narrate, AParentKilledWithItsChildIsNotSaidToLive)
{
	Story r;
	ProcId c = r.forked(0, 7826, r.program);
	r.put(ended(sec, r.program, r.watcher, W_EXITCODE(0, SIGINT), false));
	std::string p =
	    r.put(ended(sec + 1, c, r.program, W_EXITCODE(0, SIGINT), true));
	EXPECT_EQ(head(p), "[  1.0s] child 7826 of 7822 was killed by signal 2 "
			   "(SIGINT; a shell shows 130), now a zombie (Z)");
	EXPECT_EQ(reasons(p),
	    "SIGINT ended it: with no handler to catch it, its default action "
	    "is to end the process. Its parent 7822 has ended too, without "
	    "collecting it, so the kernel keeps its entry and exit status, a "
	    "zombie, for the reaper it passes to.");

	/* Handed over before its end was told: its parent is the watcher. */
	Story h;
	c = h.forked(0, 7826, h.program);
	h.put(ended(sec, h.program, h.watcher, W_EXITCODE(0, SIGINT), false));
	h.put(orphaned(sec + 1, c, h.watcher, 'S'));
	p = h.put(ended(sec + 2, c, h.program, W_EXITCODE(0, SIGINT), true));
	EXPECT_TRUE(has(reasons(p), " Its new parent, zombie-watch (7821), "
				    "collects it at once."));
	for (const std::string &out : {r.printed, h.printed})
		for (const char *lie : {"lives", "SIGCHLD", "kill -9"})
			EXPECT_FALSE(has(out, lie)) << lie << " in\n" << out;
}

/* A vfork parent sleeps in D until its child execs: said once. */
TEST(Narrate, UninterruptibleSleepIsExplainedOnce)
{
	Story r;
	ProcId c = r.forked(0, 7826, r.program);
	r.seen(c, ms);
	for (int s = 1; s <= 10; s++) {
		Event e = at(s * sec, What::Sample, r.program);
		e.state = s <= 6 ? 'D' : 'S';
		r.put(e);
	}
	EXPECT_EQ(r.look(5 * sec, {{r.program, 7821, 'S', false, 1},
				      {c, 7822, 'S', false, 1}}),
	    "[  5.0s] parent 7822 sleeping (S), child 7826 of 7822 sleeping "
	    "(S)\n");
	std::string p = r.look(5 * sec,
	    {{r.program, 7821, 'D', false, 1}, {c, 7822, 'S', false, 1}});
	EXPECT_EQ(head(p), "[  5.0s] parent 7822 in uninterruptible sleep (D), "
			   "child 7826 of 7822 sleeping (S)");
	EXPECT_EQ(reasons(p),
	    "D is a sleep inside the kernel that ordinary signals do not "
	    "break: as for a disk, or in a parent that created its child with "
	    "vfork, as posix_spawn does, until that child execs or exits (a "
	    "fatal signal, as SIGKILL, still ends that wait). Unlike after "
	    "fork, such a parent does not run on beside its child.");
	EXPECT_EQ(r.look(10 * sec, {{r.program, 7821, 'D', false, 1}}),
	    "[ 10.0s] parent 7822 in uninterruptible sleep (D)\n");
	EXPECT_EQ(r.replay(), r.printed);
	std::vector<std::string> rows =
	    split(timeline(r.log, 10 * sec, r.style), '\n');
	EXPECT_EQ(rows.at(0), "timeline: one column is 0.2s; S sleeping, R "
			      "running, Z zombie, . not there, D "
			      "uninterruptible sleep");
	EXPECT_EQ(rows.at(3).substr(13, 50),
	    std::string(30, 'D') + std::string(20, 'S'));
}

TEST(Narrate, InferredCollectorSaysSo)
{
	Story r;
	const std::vector<std::pair<Guess, std::string>> guesses = {
	    {Guess::NoFaults, "it made no page faults of its own, so "
			      "collecting it added nothing to any count."},
	    {Guess::Unread, "it was gone before its page faults could be "
			    "read, and a collector is known by its count of "
			    "its children's faults, which grows by theirs."},
	    {Guess::NoCount, "the collector's count of its children's page "
			     "faults could not be read."},
	    {Guess::None, ""},
	};
	pid_t pid = 7826;
	for (const auto &[guess, why] : guesses) {
		for (How how : {How::Wait, How::Released}) {
			ProcId c = r.forked(0, pid++, r.program);
			r.put(ended(sec, c, r.program, 0, how == How::Wait));
			Event e = collected(2 * sec, c, r.program, how);
			e.guess = guess;
			std::string text = reasons(r.put(e));
			/* A child released was collected by no one. */
			std::string inferred =
			    (how == How::Wait ? "Who collected it is inferred, "
					      : "That no one collected it is "
						"inferred, ") +
			    std::string("not measured: ") + why;
			size_t where = text.rfind(inferred);
			if (guess == Guess::None)
				EXPECT_FALSE(has(text, "inferred"));
			else
				EXPECT_EQ(where, text.size() - inferred.size());
		}
	}
}

TEST(Fold, KeepsEveryWordWithinTheWidth)
{
	Story r;
	ProcId reaper = r.log.add_process(
	    900, Role::Outsider, "a-reaper-whose-name-runs-on");
	ProcId c = r.forked(0, 7826, r.program);
	r.log.append(orphaned(sec, c, reaper, 'Z'));
	r.style.width = 1000;
	std::string whole = narrate(r.log, 1, r.style);
	ASSERT_EQ(split(whole, '\n').size(), 2U);
	std::vector<std::string> want = split(reasons(whole), ' ');

	for (int width : {40, 20}) {
		r.style.width = width;
		std::vector<std::string> folded =
		    split(narrate(r.log, 1, r.style), '\n');
		EXPECT_EQ(folded[0], head(whole));
		EXPECT_GT(folded.size(), 3U);
		std::vector<std::string> got;
		for (size_t i = 1; i < folded.size(); i++) {
			EXPECT_LE(folded[i].size(), (size_t)width) << folded[i];
			EXPECT_EQ(folded[i].find_first_not_of(' '), 9U);
			for (const std::string &w : split(folded[i], ' '))
				got.push_back(w);
		}
		/* A word that fits stays whole; a longer one is cut, not lost.
		 */
		size_t room = (size_t)width - 9, k = 0;
		for (const std::string &w : want) {
			std::string joined;
			while (k < got.size() && joined.size() < w.size())
				joined += got[k++];
			EXPECT_EQ(joined, w);
			EXPECT_TRUE(
			    w.size() > room || (k > 0 && joined == got[k - 1]))
			    << w << " was broken at width " << width;
		}
		EXPECT_EQ(k, got.size());
	}
	r.style.width = 20;
	std::string narrowest = narrate(r.log, 1, r.style);
	for (int width : {0, -5, 9}) {
		r.style.width = width;
		EXPECT_EQ(narrate(r.log, 1, r.style), narrowest);
	}
}

/* The words of text, wherever its lines were folded. */
static std::vector<std::string>
words_of(const std::string &text)
{
	std::vector<std::string> out;
	for (const std::string &l : split(text, '\n'))
		for (const std::string &w : split(l, ' '))
			if (!w.empty())
				out.push_back(w);
	return out;
}

/*
 * The demonstration with seven-digit PIDs and a reaper of a long UTF-8
 * name, on an 80-column terminal: every line fits, no word is split, and
 * a row's letters stay on its first line, one a second.
 */
TEST(Fit, TheDemonstrationOnAnEightyColumnTerminal)
{
	Story r;
	ProcId reaper = r.log.add_process(1, Role::Outsider,
	    "r\xc3\xa9"
	    "colteur-de-processus-orphelins");
	ProcId c = r.forked(2 * ms, 1234568, r.program);
	r.seen(c, sec);
	r.seen(r.program, sec);
	r.put(ended(30 * sec, c, r.program, 0, true));
	r.put(ended(60 * sec, r.program, r.watcher, 0, false));
	r.put(orphaned(60001 * ms, c, reaper, 'Z'));
	Event reap = collected(61500 * ms, c, reaper, How::Wait);
	reap.status = 0;
	reap.late = true;
	r.put(reap);
	std::string flat = r.replay() +
			   fit_each(summary(r.log), HANG, r.style) +
			   timeline(r.log, 61600 * ms, r.style);
	r.style.width = 80;
	r.style.fit = true;
	r.style.colour = true;
	std::string fitted = r.replay() +
			     fit_each(summary(r.log), HANG, r.style) +
			     timeline(r.log, 61600 * ms, r.style);

	for (const std::string &l : split(fitted, '\n'))
		EXPECT_LE(columns(l), 80U) << l;
	EXPECT_GT(split(fitted, '\n').size(), split(flat, '\n').size());
	/* Colour aside, the same words in the same order. */
	std::string plain;
	for (size_t i = 0; i < fitted.size(); i++)
		if (fitted[i] == '\033')
			i = fitted.find('m', i);
		else
			plain += fitted[i];
	EXPECT_EQ(words_of(plain), words_of(flat));
	std::string row =
	    "\nchild 1234568  " + std::string(30, 'S') + std::string(30, 'Z');
	EXPECT_TRUE(has(plain, row.c_str())) << plain;
	EXPECT_TRUE(has(plain, "\n           "))
	    << "a headline's later parts hang past its stamp";
	/* No word left alone on a line of its own, no name cut. */
	for (const std::string &l : split(plain, '\n')) {
		if (l.rfind(std::string(HANG, ' '), 0) == 0) {
			EXPECT_GT(words_of(l).size(), 1U) << l;
		}
	}
	EXPECT_TRUE(has(plain, "PID 1 (r\xc3\xa9"
			       "colteur-de-processus-orphelins)"));
	EXPECT_EQ(columns("r\xc3\xa9"
			  "colteur \033[1;7;31mZZ\033[0m"),
	    12U);
}

TEST(Narrate, LongProgramNameStillEndsItsLine)
{
	Log log;
	ProcId w = log.add_process(7821, Role::Watcher);
	std::string name(10000, 'x');
	log.append(at(
	    0, What::Started, log.add_process(7822, Role::Program, name), w));
	log.append(
	    at(0, What::Started, log.add_process(7823, Role::Program), w));
	EXPECT_EQ(narrate(log, 0, Style()), "[  0.0s] zombie-watch (7821) "
					    "started " +
						name + " as process 7822\n");
	EXPECT_EQ(narrate(log, 1, Style()),
	    "[  0.0s] zombie-watch (7821) started process 7823\n");
	EXPECT_EQ(summary(log), "summary: no child was seen\n");
}

/* Following a running process: what was there before is not told as new. */
TEST(Narrate, WhatRanBeforeTheWatchIsToldAsSuch)
{
	Story r;
	ProcId bash = r.log.add_process(4000, Role::Outsider, "bash");
	Event start = at(0, What::Started, r.program, r.watcher);
	start.before = true;
	EXPECT_EQ(head(r.put(start)),
	    "[  0.0s] zombie-watch (7821) follows parent 7822 (zombie), "
	    "already running");
	ProcId old = r.child(7823);
	Event found = at(1, What::Created, old, r.program);
	found.by = r.program;
	found.before = found.zombie = true;
	EXPECT_EQ(head(r.put(found)),
	    "[  0.0s] child 7823 of 7822 was already there, a zombie (Z)");
	Event end = ended(1, old, r.program, 0);
	end.before = true;
	EXPECT_EQ(head(r.put(end)),
	    "[  0.0s] child 7823 of 7822 exited with status 0, a zombie (Z) "
	    "already when the watch began");
	r.put(collected(2 * sec, old, r.program, How::Wait));
	r.put(ended(3 * sec, r.program, bash, 0, false));
	r.put(collected(3 * sec, r.program, bash, How::Wait));
	EXPECT_EQ(summary(r.log), "summary: child 7823 was a zombie from "
				  "before the watch began to 2.000s\n");
	Event sig = at(4 * sec, What::Signalled, 0);
	sig.signo = SIGINT;
	EXPECT_EQ(head(r.put(sig)), "[  4.0s] zombie-watch received SIGINT; "
				    "it only observes, so it stops here");
}

/*
 * Records the kernel had no room for are said where they resume, with
 * their gap, in the story, in the summary, which every later line may
 * lack, and as a JSON line of their own.
 */
TEST(Narrate, LostRecordsAreSaidWithTheirGap)
{
	Story r;
	ProcId c = r.forked(0, 7823, r.program);
	Event lost = at(2731 * ms, What::Lost, r.watcher);
	lost.since = 1204 * ms;
	lost.count = 1234;
	std::string p = r.put(lost);
	EXPECT_EQ(head(p), "[  2.7s] the kernel lost 1234 fork and exit "
			   "records, from 1.204s to 2.731s: the watcher was "
			   "behind and their ring was full");
	EXPECT_TRUE(has(reasons(p), "is read from /proc instead"));
	EXPECT_EQ(json_event(r.log, r.log.events().size() - 1, "r"),
	    "{\"type\":\"lost\",\"run\":\"r\",\"t\":2.731,\"records\":1234,"
	    "\"at_least\":false,\"from\":1.204}\n");
	/* A full ring, whose count the kernel has not given yet. */
	Event full = at(2900 * ms, What::Lost, r.watcher);
	full.since = 2800 * ms;
	full.at_least = true;
	EXPECT_EQ(head(r.put(full)),
	    "[  2.9s] the kernel may have lost fork and exit records, from "
	    "2.800s to 2.900s: the watcher was behind and their ring was full");
	r.put(ended(3 * sec, c, r.program, 0));
	EXPECT_EQ(split(summary(r.log), '\n').front(),
	    "summary: the kernel lost at least 1234 fork and exit records: a "
	    "process of those moments may be missing, and its end told late");
}

/*
 * A child made by clone with no exit signal, or another one, sends its
 * parent no SIGCHLD: its zombie is told so, each time, and the lesson of
 * SIGCHLD waits for a zombie it is true of.
 */
TEST(Narrate, AChildWithAnotherExitSignalIsNotSaidToSendSigchld)
{
	Story r;
	ProcId quiet = r.forked(0, 7823, r.program);
	ProcId usr1 = r.forked(0, 7824, r.program);
	ProcId plain = r.forked(0, 7825, r.program);
	Event e = ended(sec, quiet, r.program, 0);
	e.exit_signal = 0;
	std::string p = reasons(r.put(e));
	EXPECT_FALSE(has(p, "SIGCHLD")) << p;
	EXPECT_TRUE(has(p, "It was made by clone with no exit signal, so as it "
			   "ended the kernel sent its parent none; only a wait "
			   "that asks for such children, with __WALL or "
			   "__WCLONE, collects it."))
	    << p;
	EXPECT_TRUE(has(p, "A zombie cannot be killed")) << p;
	e = ended(2 * sec, usr1, r.program, 0);
	e.exit_signal = SIGUSR1;
	p = reasons(r.put(e));
	EXPECT_TRUE(has(p, "with SIGUSR1 as its exit signal, so as it ended "
			   "the kernel sent its parent that, not SIGCHLD"))
	    << p;
	p = reasons(r.put(ended(3 * sec, plain, r.program, 0)));
	EXPECT_TRUE(has(p, "As it ended, the kernel sent its parent SIGCHLD."))
	    << p;
	EXPECT_FALSE(has(p, "A zombie cannot be killed")) << p;
}

/*
 * A parent already in wait collects its child the moment it ends: that
 * zombie is told so in one line, and the lessons of a zombie that stays
 * wait for one that does.
 */
TEST(Narrate, AZombieCollectedAtOnceIsToldSoInOneLine)
{
	Story r;
	ProcId quick = r.forked(1 * ms, 7826, r.program);
	ProcId slow = r.forked(2 * ms, 7827, r.program);
	Pending q;
	/* Times told to the millisecond: the span is what they say. */
	q.push(ended(10 * ms + 600'000, quick, r.program, 0, true));
	q.push(collected(11 * ms + 400'000, quick, r.program, How::Wait));
	q.push(ended(500 * ms, slow, r.program, 0, true));
	q.push(collected(3 * sec, slow, r.program, How::Wait));
	for (Nanos horizon : {10 * ms, 600 * ms, 4 * sec})
		q.flush(horizon, r.log,
		    [&r](Index i) { r.printed += narrate(r.log, i, r.style); });

	size_t second = r.printed.find("] child 7827");
	ASSERT_NE(second, std::string::npos) << r.printed;
	std::string first = reasons(r.printed.substr(0, second));
	EXPECT_TRUE(has(first, "Its parent collected it 0.000s later, so it "
			       "was a zombie only for that moment"))
	    << first;
	EXPECT_TRUE(
	    has(summary(r.log), "child 7826 was a zombie from 0.011s to "
				"0.011s, for 0.000s\n"))
	    << summary(r.log);
	EXPECT_FALSE(has(first, "sent its parent SIGCHLD")) << first;
	EXPECT_FALSE(has(first, "kill -9")) << first;
	std::string rest = r.printed.substr(second);
	EXPECT_TRUE(has(rest, "the kernel sent its parent SIGCHLD")) << rest;
	EXPECT_TRUE(has(rest, "kill -9")) << rest;
}
