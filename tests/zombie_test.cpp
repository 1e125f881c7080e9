// SPDX-License-Identifier: BSD-2-Clause
/*
 * The real programs, driven for their full minute where that is the point:
 * the demonstration, the watcher's story of it and of the tests' own
 * families, and the reaper check.
 */

#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Case {
	const char *name;
	Options opts;
};

void
PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

class Demonstration : public testing::TestWithParam<Case> {};

TEST_P(Demonstration, ZombieFrom30To60s)
{
	Seen r = watch(GetParam().opts);

	ASSERT_GT(r.child, 0) << "no child was ever seen";
	EXPECT_EQ(r.child_states, "SZ") << "child's states in /proc";
	EXPECT_FALSE(r.foreign_ppid)
	    << "child had a parent other than " << r.parent;
	EXPECT_AROUND(r.zombie_at, 30.0);
	EXPECT_LT(r.child_vanished_at, 0) << "collected while parent lived";
	EXPECT_AROUND(r.parent_exit_at, 60.0);
	EXPECT_EQ(r.parent_status, 0);
	EXPECT_GE(r.child_reaped_at, r.parent_exit_at)
	    << "orphan never came to the reaper";
	EXPECT_EQ(r.child_status, 0);
	EXPECT_EQ(r.strangers_reaped, 0);

	EXPECT_EQ(r.out, announcement(r));
	EXPECT_EQ(r.err, "");
	if (GetParam().opts.out == Out::Tty)
		EXPECT_LT(r.out_line_at.at(0), 2.0)
		    << "line held back on a terminal";
	else
		EXPECT_GE(r.out_line_at.at(0), 59.8) << "line left before exit";
}

INSTANTIATE_TEST_SUITE_P(Outputs, Demonstration,
    testing::Values(Case{"Pipe", with(Out::Pipe)},
	Case{"File", with(Out::File)}, Case{"Terminal", with(Out::Tty)},
	Case{"ArgumentsIgnored", with(Out::Pipe, {"-h", "--help", "60", ""})}),
    [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

TEST(Zombie, InheritedIgnoredSigchldMeansNoZombie)
{
	Options o;
	o.ignore_sigchld = true;
	Seen r = watch(o);

	ASSERT_GT(r.child, 0);
	EXPECT_EQ(r.child_states.find('Z'), std::string::npos);
	EXPECT_AROUND(r.child_vanished_at, 30.0);
	EXPECT_AROUND(r.parent_exit_at, 60.0);
	EXPECT_EQ(r.parent_status, 0);
	EXPECT_EQ(r.out, announcement(r));
	EXPECT_EQ(r.err, "");
}

TEST(Zombie, ChildOfAKilledParentIsAdoptedAndExitsCleanly)
{
	Options o;
	o.signal_at = 2.0;
	Seen r = watch(o);

	ASSERT_GT(r.child, 0);
	EXPECT_TRUE(WIFSIGNALED(r.parent_status) &&
		    WTERMSIG(r.parent_status) == SIGTERM);
	EXPECT_LT(r.parent_exit_at, 5.0);
	EXPECT_TRUE(r.child_reparented);
	EXPECT_AROUND(r.child_reaped_at, 30.0);
	EXPECT_EQ(r.child_status, 0);
	EXPECT_EQ(r.err, "");
}

TEST(Zombie, ForkFailureIsReportedNotAnnounced)
{
	Options o;
	o.fail_fork = true;
	Seen r = watch(o);

	EXPECT_EQ(r.child, -1);
	EXPECT_TRUE(
	    WIFEXITED(r.parent_status) && WEXITSTATUS(r.parent_status) == 1)
	    << "wait status " << r.parent_status;
	EXPECT_LT(r.parent_exit_at, 5.0) << "slept after failing";
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n");
}

TEST(Watch, ShowsTheLifecycleAsItHappens)
{
	Seen r = watch(watcher());
	std::vector<std::string> m;

	EXPECT_AROUND(r.parent_exit_at, 60.0);
	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	expect_nothing_left(r);

	EXPECT_AROUND(
	    line(r, "^Je suis (\\d+) et mon fils (\\d+) va", &m), 60.0);
	std::string zombie = m[2], parent = program_pid(r);
	EXPECT_EQ(m[1], parent);
	/* Told as it happens, not at the end; a sanitized start is slow. */
	EXPECT_LT(
	    line(r, "] parent " + parent + " created child " + zombie + "$"),
	    3.0);
	std::string child = "child " + zombie + " of " + parent + " ";
	EXPECT_AROUND(line(r, child + "sleeping \\(S\\)"), 5.0);
	EXPECT_AROUND(
	    line(r, child + "exited with status 0, now a zombie \\(Z\\)$"),
	    30.0);
	/* The tick at 30 s may come just after the exit, or just before. */
	double still = line(r, child + "zombie \\(Z\\)$");
	EXPECT_GE(still, 29.8);
	EXPECT_LE(still, 38.0);
	EXPECT_AROUND(
	    line(r, "] parent " + parent + " exited with status 0$"), 60.0);
	EXPECT_AROUND(line(r, "] child " + zombie +
				  ", orphaned and still zombie \\(Z\\), "
				  "passes to zombie-watch \\(\\d+\\)$"),
	    60.0);
	EXPECT_AROUND(line(r, "] zombie-watch \\(\\d+\\) collected child " +
				  zombie + ", which exited with status 0$"),
	    60.0);

	/*
	 * The span agrees with what the harness saw, to its 50 ms; the times
	 * themselves count from two starts, the watcher's a little later.
	 */
	line(r,
	    "^summary: child " + zombie +
		" was a zombie from (\\d+\\.\\d{3})s to (\\d+\\.\\d{3})s, "
		"for (\\d+\\.\\d{3})s$",
	    &m);
	double from = seconds(m[1].c_str()), to = seconds(m[2].c_str());
	EXPECT_AROUND(from, 30.0);
	EXPECT_NEAR(
	    to - from, r.grandchild_gone_at - r.grandchild_zombie_at, 0.1);
	EXPECT_NEAR(seconds(m[3].c_str()), to - from, 0.0015);

	/*
	 * One column a second; the zombie where the summary has it, both on
	 * the watcher's clock, which starts late under load.  Before, each
	 * is alive: asleep, or runnable where a loaded machine kept it
	 * waiting for a CPU; the child may be made a column late.
	 */
	line(r, "^timeline: one column is 1s;");
	line(r,
	    "^child " + zombie +
		" +([.RS]+)(Z+) exited with status 0; "
		"collected by zombie-watch \\(\\d+\\)$",
	    &m);
	EXPECT_NEAR(m[1].size(), from, 1.0);
	EXPECT_NEAR(m[1].size() + m[2].size(), 60, 1);
	line(r, "^parent " + parent + " +([RS]+) exited with status 0;", &m);
	EXPECT_NEAR(m[1].size(), 60, 1);
}

TEST(Watch, TellsWhoCollectedEachChildAndHow)
{
	std::vector<std::string> m;

	/* Collected with waitpid; then, SIGCHLD ignored, released. */
	Seen r = family("waitignore");
	line(r, "] parent \\d+ collected child \\d+, which exited with "
		"status 1( \\(inferred\\))?$");
	line(r, "] the kernel released child \\d+ as it ended, since its "
		"parent \\d+ ignores SIGCHLD( \\(inferred\\))?$");
	/* Three collected, then the parent's end: told in that order. */
	r = family("three");
	std::string p = program_pid(r);
	size_t last = r.out.find("] parent " + p + " exited");
	for (const char *st : {"1", "2", "3"}) {
		/* A child gone before it was held has its collector inferred.
		 */
		std::string told =
		    ", which exited with status " + std::string(st);
		size_t at = r.out.find(told + "\n");
		if (at == std::string::npos)
			at = r.out.find(told + " (inferred)\n");
		EXPECT_LT(at, last) << r.out;
		EXPECT_NE(r.out.rfind("] parent " + p + " collected child", at),
		    std::string::npos);
	}
	/* A subreaper that collects two orphans at once: both are its. */
	r = family("subreaper");
	p = program_pid(r);
	for (const char *st : {"5", "6"})
		line(r, "] parent " + p +
			    " collected child \\d+, which exited "
			    "with status " +
			    st + "$");
	/* CLONE_PARENT: the parent is the creator's parent, and collects. */
	r = family("cloneparent");
	p = program_pid(r);
	line(r,
	    "] child \\d+ created child (\\d+), whose parent is parent " + p +
		"$",
	    &m);
	line(r, "] parent " + p + " collected child " + m[1] + ",");
}

/*
 * One PID given again and again within a millisecond, as in a PID
 * namespace that wraps: each process is its own, created, ended with its
 * own status and collected.
 */
TEST(Watch, APidUsedAgainAtOnceIsEachTimeAnotherProcess)
{
	NEED_ROOT();
	Options o =
	    with(Out::Pipe, {"--pid", "--fork", "--mount-proc", WATCH_PATH,
				FAMILY_PATH, "reuse", "20"});
	o.program = "/usr/bin/unshare";
	Seen r = watch(o);

	ASSERT_TRUE(exited(r, 0)) << r.parent_status << "\n" << r.out;
	std::string p = program_pid(r);
	std::vector<std::string> kid;
	line(r, "] parent " + p + " created child (\\d+)$", &kid);
	/* Gone at once, a child's status may not be read: only its end. */
	std::regex created("] parent " + p + " created child " + kid[1] + "$"),
	    collected("] parent " + p + " collected child " + kid[1] +
		      ", which (exited with status (\\d+)|ended)");
	std::set<std::string> statuses;
	int made = 0, gone = 0, twice = 0;
	std::istringstream in(r.out);
	std::smatch m;
	for (std::string l; std::getline(in, l);) {
		made += std::regex_search(l, created);
		if (!std::regex_search(l, m, collected))
			continue;
		gone++;
		if (m[2].matched && !statuses.insert(m[2]).second)
			twice++;
	}
	/* A pin that came after the number was given again holds the next. */
	EXPECT_EQ(twice, 0) << r.out;
	EXPECT_EQ(made, 20) << r.out;
	EXPECT_EQ(gone, 20) << r.out;
	EXPECT_EQ(r.err, "");
}

/* All of them, told from the kernel's records, though most are gone first. */
TEST(Watch, ReportsEveryOneOfManyShortChildren)
{
	Seen r = watch(watcher({FAMILY_PATH, "many", "500"}));
	std::set<std::string> created, collected;
	std::regex c("] parent \\d+ created child (\\d+)$");
	/* Gone before it could be held, its status may not be known. */
	std::regex k("collected child (\\d+), which (exited with status 0|"
		     "ended)( \\(inferred[^)]*\\))?$|released child (\\d+) ");
	std::istringstream in(r.out);
	std::smatch sm;
	for (std::string l; std::getline(in, l);) {
		if (std::regex_search(l, sm, c))
			created.insert(sm[1]);
		if (std::regex_search(l, sm, k))
			collected.insert(sm[1].matched ? sm[1] : sm[4]);
	}
	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(created.size(), 500u);
	EXPECT_EQ(collected, created);
	expect_nothing_left(r);
}

/*
 * A set-user-ID program, run by nobody: the kernel writes an exit record
 * as it starts and stops following it.  It runs on, so no end is told then;
 * its child, which no record tells, is found by looking; and its one end is
 * told when it comes.
 */
TEST(Watch, ASetIdProgramRunsOnAfterItsRecordsStop)
{
	NEED_ROOT();
	ProgramCopy shell("/bin/dash", 04755);
	ASSERT_FALSE(shell.path().empty());
	Seen r = watch(watcher({"/usr/bin/setpriv", "--reuid=nobody",
	    "--regid=nogroup", "--clear-groups", shell.path(), "-p", "-c",
	    "sleep 0.5 & wait; exit 3"}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 3)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	std::string p = program_pid(r);
	line(r, "\\] parent " + p +
		    " ran a program that changes its user or group: the kernel "
		    "stops its records there$");
	line(r, "\\] parent " + p + " created child \\d+$");
	/* Its one end, no earlier than its child's sleep lets it be. */
	line(r, "^\\[ *([0-9.]+)s\\] parent " + p + " exited with status 3$",
	    &m);
	EXPECT_GE(seconds(m[1].c_str()), 0.5) << r.out;
	size_t end = r.out.find("] parent " + p + " exited");
	EXPECT_EQ(
	    r.out.find("] parent " + p + " exited", end + 1), std::string::npos)
	    << r.out;

	/*
	 * A child that runs it at once after its fork: both records are
	 * often read in one turn, before the child is held.
	 */
	Seen c = watch(watcher({"/usr/bin/setpriv", "--reuid=nobody",
	    "--regid=nogroup", "--clear-groups", "/bin/sh", "-c",
	    shell.path() + " -p -c 'sleep 0.5'; exit 3"}));
	EXPECT_TRUE(exited(c, 3)) << "wait status " << c.parent_status;
	line(c, "\\] parent \\d+ created child (\\d+)$", &m);
	std::string k = m[1];
	line(c, "\\] child " + k +
		    " ran a program that changes its user or group: the kernel "
		    "stops its records there$");
	line(c, "^\\[ *([0-9.]+)s\\] child " + k + " of \\d+ exited", &m);
	EXPECT_GE(seconds(m[1].c_str()), 0.5) << c.out;
}

/*
 * The watcher stopped while a parent collects: seen only once it goes on,
 * the collection is told as the latest it can have been, and the zombie's
 * span as a bound.
 */
TEST(Watch, ACollectionSeenAfterAStopIsABound)
{
	Seen r = watch(watcher({FAMILY_PATH, "stall"}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	std::string p = program_pid(r);
	line(r,
	    "^\\[by +[0-9.]+s\\] parent " + p +
		" collected child (\\d+), which exited",
	    &m);
	size_t at = r.out.find("] parent " + p + " collected child " + m[1]);
	size_t next = r.out.find("\n[", at);
	EXPECT_NE(r.out.substr(at, next - at)
		      .find("zombie-watch was behind when it saw this"),
	    std::string::npos)
	    << r.out;
	line(r, "^summary: child " + m[1] +
		    " was a zombie from [0-9.]+s to at most [0-9.]+s, for at "
		    "most [0-9.]+s$");
}

/*
 * More than the kernel's rings hold, made while the watcher is stopped:
 * the records the kernel could not keep are said, quiet or not, with the
 * gap they fell in, and the summary says first what it may lack.
 */
TEST(Watch, SaysWhenTheKernelLostRecords)
{
	Seen r = watch(watcher({"-q", FAMILY_PATH, "storm", "20000"}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	/* A child gone between its fork and its pin may be said unfollowed. */
	EXPECT_TRUE(std::regex_match(r.err,
	    std::regex("(zombie-watch: cannot follow process \\d+: No such "
		       "file or directory\n)*")))
	    << r.err;
	line(r,
	    "^\\[ *[0-9.]+s\\] the kernel (lost (at least )?\\d+|may have "
	    "lost) fork and exit records, from ([0-9.]+)s to ([0-9.]+)s: the "
	    "watcher was behind",
	    &m);
	ASSERT_EQ(m.size(), 5U);
	EXPECT_LE(seconds(m[3].c_str()), seconds(m[4].c_str()));
	line(r, "^summary: the kernel (lost|may have lost) .*: a process of "
		"those moments may be missing");
	expect_nothing_left(r);
}

/* Where fork records are refused, children that live long are found. */
TEST(Watch, FindsChildrenWithoutForkRecords)
{
	Seen r = family("three", true);
	std::string p = program_pid(r);

	for (const char *st : {"1", "2", "3"})
		line(r, "] parent " + p +
			    " collected child \\d+, which "
			    "exited with status " +
			    st + "$");
}

TEST(Watch, EndsAsInterruptedOnceAllAreCollected)
{
	Options plain = watcher(),
		stubborn = watcher({"sh", "-c", "trap '' INT; sleep 30"});
	for (Options *o : {&plain, &stubborn}) {
		o->signal_at = 2.0;
		/* A watcher slow to start may not have run so far yet. */
		o->signal_grandchild = true;
		o->signo = SIGINT;
		o->signal_group = true;
	}
	/* It ignores the first Ctrl-C; a second one is meant. */
	stubborn.signal_times = 2;
	for (const Options *o : {&plain, &stubborn}) {
		Seen r = watch(*o);
		EXPECT_LT(r.parent_exit_at, 5.0);
		EXPECT_TRUE(ended_by(r, SIGINT))
		    << "wait status " << r.parent_status;
		expect_nothing_left(r);
		std::string parent = program_pid(r);
		int sig = o == &plain ? SIGINT : SIGKILL;
		line(r, "parent " + parent + " was killed by signal " +
			    std::to_string(sig) + " ");
		line(r, "collected child \\d+, which was killed by signal " +
			    std::to_string(sig) + " ");
	}
}

/* Under nohup a hangup is ignored: by the watcher and by the program. */
TEST(Watch, LeavesAnIgnoredHangupIgnored)
{
	Options o = watcher({"sh", "-c", "sleep 1; exit 5"});
	o.ignore_sighup = true;
	o.signal_at = 0.3;
	o.signo = SIGHUP;
	o.signal_group = true;
	Seen r = watch(o);

	EXPECT_TRUE(exited(r, 5)) << "wait status " << r.parent_status;
	EXPECT_GE(r.parent_exit_at, 0.9);
	EXPECT_EQ(r.out.find("received SIGHUP"), std::string::npos) << r.out;
}

/* ^C reaches the whole foreground group: the program gets it once. */
TEST(Watch, PassesOnNoSignalTheTerminalSentToAll)
{
	Options o = watcher({"perl", "-e",
	    "$n = 0; $SIG{INT} = sub { $n++ }; "
	    "select(undef, undef, undef, 0.1) for 1..30; "
	    "print STDERR \"got $n\\n\""});
	o.out = Out::Tty;
	o.typed = true;
	o.signal_at = 0.5;
	/* Perl may take longer than that to start on a loaded machine. */
	o.signal_caught = true;
	Seen r = watch(o);

	EXPECT_TRUE(ended_by(r, SIGINT)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "got 1\n");
	line(r, "received SIGINT from the terminal, which sent it to the "
		"program too");
}

TEST(Watch, ColoursTheZombieOnlyOnATerminalThatWantsIt)
{
	const char *zombie = "\033[1;7;31mZ";
	Options o = watcher({"sh", "-c", "sleep 0.3 & exec sleep 0.6"});
	o.env = {"TERM=xterm", "NO_COLOR="};
	o.out = Out::Tty;
	EXPECT_NE(watch(o).out.find(zombie), std::string::npos);
	o.out = Out::Pipe;
	EXPECT_EQ(watch(o).out.find('\033'), std::string::npos);
	o.out = Out::Tty;
	o.env = {"TERM=xterm", "NO_COLOR=1"};
	EXPECT_EQ(watch(o).out.find('\033'), std::string::npos);
}

/* Exits 1 when it started with SIGCHLD ignored and no signal blocked. */
const char *inherited = "SigBlk:[[:space:]]+0+[[:space:]]+SigIgn:[[:space:]]+"
			"[0-9a-f]*[13579bdf][0-9a-f]{4}[[:space:]]";

TEST(Watch, ReportsWhatWentWrong)
{
	struct {
		Options o;
		int status;
		const char *err;
	} cases[] = {
	    {watcher({"/nonexistent"}), 127, "cannot run /nonexistent"},
	    {watcher({"sh", "-c", "echo oops >&2; exit 3"}), 3, "^oops\n$"},
	    {watcher({"--bogus"}), 2, "unknown option --bogus"},
	    {watcher(), 125, "^zombie-watch: fork: Resource temporarily"},
	    {watcher({"grep", "-Ezqv", inherited, "/proc/self/status"}), 1,
		"^$"},
	    {watcher({"sh", "-c", "sleep 1 & exec sleep 0.5"}), 125,
		"^zombie-watch: standard output: Broken pipe\n$"},
	    {watcher({"sh", "-c", "sleep 1 & exec sleep 0.5"}), 125,
		"^zombie-watch: standard output: No space left on device\n$"},
	    {watcher({FAMILY_PATH, "term"}), 143, "^$"},
	    {watcher({"--check-reaper", "--reaper-wait=0x10"}), 2,
		"not a number of seconds"},
	    {watcher({"--check-reaper", "--reaper-wait= 5"}), 2,
		"not a number of seconds"},
	    {watcher({"sh", "-c", "sleep 0.2 & exit 4"}), 4, "^$"},
	    {watcher({"--check-leaks=-1", "true"}), 2,
		"not a number of seconds: -1"},
	    {watcher({"--check-leaks", "--check-reaper"}), 2,
		"--check-leaks does not go with --check-reaper"},
	};
	cases[3].o.fail_fork = true;
	cases[4].o.ignore_sigchld = true;
	cases[5].o.out = Out::Closed;
	cases[6].o.out = Out::Full;
	/* Started without standard output, its own files must not take 1. */
	cases[10].o.out = Out::Missing;
	for (const auto &c : cases) {
		Seen r = watch(c.o);
		EXPECT_TRUE(exited(r, c.status))
		    << c.err << ": wait status " << r.parent_status;
		EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err)))
		    << r.err;
		EXPECT_LT(r.parent_exit_at, 5.0);
		expect_nothing_left(r);
		if (c.status == 127) {
			EXPECT_EQ(r.out, "") << "told of what never started";
		}
	}
	/* Failing before it is ready, it does not let the program run. */
	Options unready = watcher({"sh", "-c", "echo ran"});
	unready.no_pidfd = true;
	Seen r = watch(unready);
	EXPECT_TRUE(exited(r, 125)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "zombie-watch: pidfd_open: Operation not permitted\n");
	EXPECT_EQ(r.out, "");
	/* Nor does it leave it behind: it is collected before the end. */
	expect_nothing_left(r);
	Seen quiet = watch(watcher({"sh", "-c", "exit 3"}));
	line(quiet, "^summary: no child was seen$");
	Seen help = watch(watcher({"--help"}));
	EXPECT_EQ(help.parent_status, 0);
	EXPECT_EQ(help.out.rfind("usage: zombie-watch", 0), 0u) << help.out;
}

/*
 * Failing once the program runs (its timers are refused only after the
 * start), the watcher stops telling but stays the program's parent until
 * it ends, and leaves nothing behind.
 */
TEST(Watch, FailingLateWaitsForTheProgram)
{
	Options late = watcher({"sh", "-c", "sleep 1; echo ran"});
	late.no_timerfd = true;
	Seen r = watch(late);

	EXPECT_TRUE(exited(r, 125)) << "wait status " << r.parent_status;
	EXPECT_TRUE(std::regex_search(r.err,
	    std::regex("^zombie-watch: timerfd: Operation not permitted\n"
		       "zombie-watch: no longer watching; waiting for sh "
		       "\\(\\d+\\) to end\n$")))
	    << r.err;
	EXPECT_EQ(r.out, "ran\n");
	EXPECT_GE(r.parent_exit_at, 1.0);
	expect_nothing_left(r);
}

TEST(Reaper, PlainZombieStaysUnderAnInitThatNeverCollects)
{
	NEED_ROOT();
	Seen r = watch(under_pid1("ignore", {ZOMBIE_PATH}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	line(r, "^Je suis (\\d+) et mon fils (\\d+) va", &m);
	EXPECT_EQ(r.err, "pid1: zombies of PID 1: " + m[2] + "\n");
}

TEST(Reaper, StaticProgramsRunInAnEmptyRoot)
{
	NEED_ROOT();
	if (std::string(STATIC_WATCH_PATH).empty())
		GTEST_SKIP() << "no static programs in a sanitized build: the "
				"plain build's suite runs them";
	char root[] = "/tmp/zombie-root-XXXXXX";
	ASSERT_NE(mkdtemp(root), nullptr);
	std::string dir = root;
	ASSERT_TRUE(copy_program(STATIC_ZOMBIE_PATH, dir + "/zombie"));
	ASSERT_TRUE(copy_program(STATIC_WATCH_PATH, dir + "/zombie-watch"));
	ASSERT_EQ(mkdir((dir + "/proc").c_str(), 0555), 0);
	Seen r = watch(under_pid1("ignore", {"--root", dir, "/zombie-watch"}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "pid1: zombies of PID 1: none\n");
	line(r, "^Je suis (\\d+) et mon fils (\\d+) va", &m);
	line(r, "^summary: child " + m[2] +
		    " was a zombie from 3\\d\\.\\d{3}s to 6\\d\\.\\d{3}s");
	line(r, "^child " + m[2] +
		    " +S{29,31}Z{29,31} exited with status 0; "
		    "collected by zombie-watch");
	for (const char *name : {"/zombie", "/zombie-watch"})
		EXPECT_EQ(unlink((dir + name).c_str()), 0);
	EXPECT_EQ(rmdir((dir + "/proc").c_str()), 0);
	EXPECT_EQ(rmdir(root), 0);
}

} // namespace
