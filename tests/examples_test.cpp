// SPDX-License-Identifier: BSD-2-Clause
/*
 * The teaching examples under the real watcher: each must show, in the
 * watcher's own account, the one fact the lab says it teaches.
 */

#include "harness.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "report/words.h"

namespace {

/* An example under the watcher, which must run cleanly and leave nothing. */
Seen
example(const char *name)
{
	Seen r = watch(watcher({std::string(EXAMPLES_DIR) + "/" + name}));
	EXPECT_TRUE(exited(r, 0))
	    << name << ": wait status " << r.parent_status << "\n"
	    << r.out;
	EXPECT_EQ(r.err, "") << name;
	expect_nothing_left(r);
	return r;
}

/* The first capture of every line that matches. */
std::vector<std::string>
every(const Seen &r, const std::string &pattern)
{
	std::istringstream in(r.out);
	std::vector<std::string> found;
	std::smatch sm;
	std::regex re(pattern);
	for (std::string l; std::getline(in, l);)
		if (std::regex_search(l, sm, re))
			found.push_back(sm[1]);
	return found;
}

/* How long the watcher says a child was a zombie; seen late, a bound. */
double
zombie_for(const Seen &r, const std::string &pid)
{
	std::vector<std::string> m;
	line(r,
	    "^summary: child " + pid +
		" was a zombie from [0-9.]+s to (at most )?[0-9.]+s, for "
		"(at most )?([0-9.]+)s$",
	    &m);
	return seconds(m[3].c_str());
}

/* Children created by the program itself. */
std::vector<std::string>
children(const Seen &r, const std::string &parent)
{
	return every(r, "] parent " + parent + " created child (\\d+)$");
}

/*
 * The line that tells who collected kid, and how it ended as the
 * collector learnt it: where the kid was gone before it could be read,
 * only that it ended, and that its collector is inferred.
 */
std::string
collected_as(
    const std::string &by, const std::string &kid, const std::string &how)
{
	return "] " + by + " collected child " + kid + ", which (" + how +
	       "|ended)( \\(inferred\\))?$";
}

/* The same, for a kid that exited with status. */
std::string
collected(const std::string &by, const std::string &kid, const char *status)
{
	return collected_as(
	    by, kid, std::string("exited with status ") + status);
}

/* The line that tells where an orphan went. */
std::string
passes(const std::string &orphan, const std::string &to)
{
	/* Its state then is told only where the watcher could read it. */
	return "] child " + orphan + ", orphaned.*, passes to " + to + "$";
}

} // namespace

/*
 * A parent that waits, blocked or from a SIGCHLD handler, collects each
 * child as it ends; had it not, the child would stay a zombie until the
 * parent's exit, a second later, and go to the watcher.  posix_spawn does
 * not wait for its child: until the parent does, it is a zombie.  The
 * status the child exited with reaches the parent through wait.
 */
TEST(Examples, WaitingParentsCollectTheirOwn)
{
	struct {
		const char *name;
		size_t children;
		const char *status; /* as the parent's wait got it */
		double least, most; /* the zombie's span, in seconds */
	} cases[] = {{"wait", 1, "3", 0, 0.5},
	    {"sigchld-handler", 3, "[012]", 0, 0.5},
	    {"spawn", 1, "0", 0.2, 3.0}};
	for (const auto &c : cases) {
		Seen r = example(c.name);
		std::string p = program_pid(r);
		std::vector<std::string> kids = children(r, p);

		ASSERT_EQ(kids.size(), c.children) << c.name << "\n" << r.out;
		for (const std::string &k : kids) {
			line(r, collected("parent " + p, k, c.status));
			double span = zombie_for(r, k);
			EXPECT_GE(span, c.least) << c.name << "\n" << r.out;
			EXPECT_LT(span, c.most) << c.name << "\n" << r.out;
		}
		if (std::string(c.name) == "wait")
			line(r, "^child " + kids[0] + " exited with status 3$");
		/*
		 * The lesson of a zombie that stays, only where one does;
		 * a watcher slowed down may see a quick one late.
		 */
		bool quick = true;
		for (const std::string &k : kids)
			quick = quick && zombie_for(r, k) < 0.015;
		bool lesson =
		    r.out.find("the kernel sent its parent SIGCHLD") !=
		    std::string::npos;
		if (std::string(c.name) == "spawn") {
			EXPECT_TRUE(lesson) << r.out;
		} else if (quick) {
			EXPECT_FALSE(lesson) << c.name << "\n" << r.out;
		}
	}
}

/*
 * Ignoring SIGCHLD or setting SA_NOCLDWAIT has the kernel release the
 * child as it ends; the latter still lets the handler hear of it.  A
 * process whose main thread has gone lives on in its other thread.
 */
TEST(Examples, NeverAZombie)
{
	for (const char *name : {"ignore-sigchld", "nocldwait"}) {
		Seen r = example(name);
		std::vector<std::string> kids = children(r, program_pid(r));

		ASSERT_EQ(kids.size(), 1U) << name << "\n" << r.out;
		line(r, "^summary: child " + kids[0] +
			    " was never a zombie: the kernel released it");
		EXPECT_EQ(r.out.find("now a zombie"), std::string::npos)
		    << name << "\n"
		    << r.out;
		if (std::string(name) == "nocldwait")
			line(r, "^SIGCHLD: a child ended$");
	}

	Seen r = example("thread-exit");
	std::string p = program_pid(r);
	line(
	    r, "] parent " + p + "'s main thread exited; 1 thread still runs$");
	EXPECT_EQ(r.out.find("zombie (Z)"), std::string::npos) << r.out;
	EXPECT_EQ(r.out.find("now a zombie"), std::string::npos) << r.out;
	line(r, "^parent " + p + " +[.SR]*z+[Z.]* exited with status 0;");

	/* A thread that execs: the kernel's exit of the main thread then is
	 * no exit of its own. */
	r = example("thread-exec");
	p = program_pid(r);
	line(r, "] parent " + p +
		    " ran sleep from a thread other than its main one; "
		    "nothing exited$");
	EXPECT_EQ(r.out.find("main thread exited"), std::string::npos) << r.out;
	double end = line(r, "] parent " + p + " exited with status 0$");
	EXPECT_GT(end, 1.0) << r.out;
	/* Started late on a loaded machine, its row may begin absent. */
	line(r, "^parent " + p + " +\\.*[SR]+[Z.]* exited with status 0;");
}

/*
 * An orphan goes to the nearest subreaper above it: the watcher, for a
 * double fork's grandchild, or the program, once it has made itself one.
 * Either way its new parent collects it.
 */
TEST(Examples, OrphansGoToTheNearestSubreaper)
{
	struct {
		const char *name;
		bool program_adopts;
	} cases[] = {{"double-fork", false}, {"subreaper", true}};
	for (const auto &c : cases) {
		Seen r = example(c.name);
		std::string p = program_pid(r);
		std::vector<std::string> m;

		line(r, "] parent " + p + " created child (\\d+)$", &m);
		std::string mid = m[1];
		line(r, "] child " + mid + " created child (\\d+)$", &m);
		std::string orphan = m[1];
		line(r, collected("parent " + p, mid, "0"));
		std::string reaper =
		    c.program_adopts ? "parent " + p
				     : std::string("zombie-watch \\(\\d+\\)");
		line(r, passes(orphan, reaper));
		line(
		    r, collected(reaper, orphan, c.program_adopts ? "7" : "0"));
	}
}

/*
 * Other ways to wait: WNOWAIT leaves the child a zombie on purpose, for
 * 0.6 s; signalfd, a pidfd, and a SIGCHLD handler that the parent keeps
 * blocked until its record is made each collect every child, with the
 * status it ended with.  A stopped child has not ended, and the signal
 * PR_SET_PDEATHSIG asks for comes as the thread that forked ends, while
 * its process lives on.
 */
TEST(Examples, OtherWaysToWait)
{
	struct Kid {
		const char *how;    /* as its parent's wait got it */
		double least, most; /* the zombie's span, in seconds */
	};
	const char *sigterm =
	    "was killed by signal 15 \\(SIGTERM; a shell shows "
	    "143\\)";
	const char *sigkill =
	    "was killed by signal 9 \\(SIGKILL; a shell shows "
	    "137\\)";
	Kid any = {"exited with status [012]", 0, 0.5};
	struct {
		const char *name;
		std::vector<Kid> kids;
	} cases[] = {{"waitid-nowait", {{"exited with status 5", 0.5, 3.0},
					   {sigterm, 0, 0.5}}},
	    {"signalfd", {any, any, any}},
	    {"pidfd", {{"exited with status 4", 0, 0.5}}},
	    {"stop-continue", {{"exited with status 6", 0, 0.5}}},
	    /* Held 0.1 s with SIGCHLD blocked: a loaded machine adds more. */
	    {"fork-race", {{"exited with status 0", 0, 1.0}}},
	    {"pdeathsig-thread", {{sigkill, 0, 0.5}}}};
	for (const auto &c : cases) {
		Seen r = example(c.name);
		std::string p = program_pid(r), n = c.name;
		std::vector<std::string> kids = children(r, p);

		ASSERT_EQ(kids.size(), c.kids.size()) << n << "\n" << r.out;
		for (size_t i = 0; i < kids.size(); i++) {
			line(r, collected_as(
				    "parent " + p, kids[i], c.kids[i].how));
			double span = zombie_for(r, kids[i]);
			EXPECT_GE(span, c.kids[i].least) << n << "\n" << r.out;
			EXPECT_LT(span, c.kids[i].most) << n << "\n" << r.out;
		}
		std::string k = kids[0];
		if (n == "waitid-nowait") {
			/* The first look left it there for the second. */
			line(r, "^look 2: " + k + ", CLD_EXITED, status 5$");
		} else if (n == "signalfd") {
			/* One each: no child taken twice, none left out. */
			std::vector<std::string> st = every(
			    r, "] parent " + p +
				   " collected child \\d+, which exited with "
				   "status (\\d)");
			std::sort(st.begin(), st.end());
			EXPECT_EQ(st, (std::vector<std::string>{"0", "1", "2"}))
			    << r.out;
		} else if (n == "stop-continue") {
			/*
			 * Stopped, not ended: T in its row, before it exits;
			 * on a loaded machine the watcher may not have looked
			 * at it alive at all, and its row says so.
			 */
			std::string row = "^child " + k;
			row += " +([.SRT]*T[.SRTZ]*|\\.*\\?+[.?Z]*) exited "
			       "with status 6; collected by parent ";
			row += p + "$";
			line(r, row);
			line(r, "^child " + k + " continued$");
		} else if (n == "fork-race") {
			line(r, "^known child collected$");
		} else if (n == "pdeathsig-thread") {
			/* Killed as its thread ended, while the process lived
			 * on: no orphan, and the process's exit comes after. */
			EXPECT_EQ(r.out.find("orphaned"), std::string::npos)
			    << r.out;
			size_t killed = r.out.find("collected child " + k);
			size_t gone = r.out.find("] parent " + p + " exited");
			EXPECT_LT(killed, gone) << r.out;
			EXPECT_NE(gone, std::string::npos) << r.out;
		}
	}
}

namespace {

/* The lab's command blocks: runs of lines indented four spaces. */
std::vector<std::string>
lab_blocks()
{
	std::ifstream in(LAB_PATH);
	std::vector<std::string> blocks;
	bool open = false;

	for (std::string l; std::getline(in, l);) {
		if (l.rfind("    ", 0) != 0) {
			open = open && l.empty();
			continue;
		}
		if (!open)
			blocks.emplace_back();
		open = true;
		blocks.back() += l.substr(4) + "\n";
	}
	return blocks;
}

/* Text with every "from" made "to". */
std::string
replaced(std::string text, const std::string &from, const std::string &to)
{
	for (size_t at = text.find(from); at != std::string::npos;
	     at = text.find(from, at + to.size()))
		text.replace(at, from.size(), to);
	return text;
}

} // namespace

/*
 * A learner on an 80-column terminal reads every line whole.  The lab's
 * commands run side by side, as typed but for where the programs are;
 * the minute-long ones are left out, their timeline being tried by hand
 * in the unit tests.
 */
TEST(Lab, EveryLineFitsEightyColumns)
{
	std::string script = "d=$(mktemp -d)\n";
	int n = 0;

	for (const std::string &b : lab_blocks()) {
		bool slow = b == "build/zombie-watch\n" ||
			    b.find("build/zombie ") != std::string::npos;
		if (slow || b.find("cmake") != std::string::npos ||
		    (b.find("unshare") != std::string::npos && geteuid() != 0))
			continue;
		std::string cmd = replaced(b, "build/zombie-watch", WATCH_PATH);
		cmd = replaced(
		    cmd, "build/examples/", std::string(EXAMPLES_DIR) + "/");
		script +=
		    "(\n" + cmd + ") >$d/" + std::to_string(n++) + " 2>&1 &\n";
	}
	script += "wait\nfor f in $d/*; do cat $f; echo ==; done\n"
		  "rm -r $d\n";
	Options o = with(Out::Pipe, {"-c", script});
	o.program = "/bin/sh";
	o.env = {"COLUMNS=80"};
	Seen r = watch(o);
	ASSERT_GE(n, 15);
	std::istringstream out(r.out);
	int blocks = 0, long_lines = 0;
	for (std::string l; std::getline(out, l);) {
		blocks += l == "==";
		if (columns(l) > 80 && ++long_lines < 10)
			ADD_FAILURE() << columns(l) << " columns: " << l;
	}
	EXPECT_EQ(blocks, n) << r.out;
	EXPECT_EQ(long_lines, 0);
	/* The lab's own lines, commands and text, fit as well. */
	std::ifstream lab(LAB_PATH);
	for (std::string l; std::getline(lab, l);)
		EXPECT_LE(columns(l), 80U) << l;
}
