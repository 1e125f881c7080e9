// SPDX-License-Identifier: BSD-2-Clause
/*
 * The checks as a CI job uses them.  The reaper check: under real inits
 * and the tests' own, each as PID 1 of a PID namespace of the test's own,
 * its status alone must say whether orphans are collected.  The leak
 * check: whether a program collects its own children in time.
 */

#include "harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

/* A child that is a zombie from 0.3 s and orphaned at 0.6 s. */
const char *orphan = "sleep 0.3 & exec sleep 0.6";
/* A double fork: orphaned at once, a zombie from 0.3 s. */
const char *daemon_like = "(sleep 0.3 &); exec sleep 0.6";

/* Whether a command is found where unshare looks for it, on PATH. */
bool
on_path(const std::string &name)
{
	const char *path = getenv("PATH");
	std::string dirs = path != nullptr ? path : "/usr/bin:/bin";

	for (size_t i = 0, j; i <= dirs.size(); i = j + 1) {
		j = std::min(dirs.find(':', i), dirs.size());
		std::string file = j > i ? dirs.substr(i, j - i) : ".";
		file += '/';
		file += name;
		if (access(file.c_str(), X_OK) == 0)
			return true;
	}
	return false;
}

/* A real init is installed where CI says so; elsewhere it may not be. */
#define NEED_INIT(name)                                                        \
	do {                                                                   \
		const char *ci = getenv("CI");                                 \
		if (!on_path(name) && ci != nullptr &&                         \
		    std::string(ci) == "true")                                 \
			FAIL() << (name) << " is not installed, which CI has"; \
		if (!on_path(name))                                            \
			GTEST_SKIP() << (name) << " is not installed";         \
	} while (0)

/* The watcher's arguments run under a real init, in a namespace of its own. */
Options
under_init(const std::string &init, std::vector<std::string> args)
{
	std::vector<std::string> a{"--pid", "--fork", "--mount-proc", init};
	if (init != "dumb-init")
		a.push_back("--");
	a.push_back(WATCH_PATH);
	a.insert(a.end(), args.begin(), args.end());
	Options o = with(Out::Pipe, a);
	o.program = "/usr/bin/unshare";
	return o;
}

/* Seen late, the delay is a bound: "at most". */
const char *const collected_line =
    "^reaper: child (\\d+) was collected with wait "
    "by PID 1 \\(%s\\) (?:at most )?(\\d+\\.\\d{3})s "
    "after %s$";

std::string
pattern(const char *init, const char *since)
{
	char buf[256];
	(void)snprintf(buf, sizeof(buf), collected_line, init, since);
	return buf;
}

/*
 * How many end lines, and the status, reason and signal of the last line,
 * which must be the one.
 */
const char *end_record = R"(
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
ends = [l for l in lines if l["type"] == "end"]
assert lines[-1]["type"] == "end" and lines[-1]["schema"] == 1
e = lines[-1]
print(len(ends), e["status"], e["reason"], e["signal"])
)";

/* The signal came, the check stopped: the one verdict, cut short. */
const char *cut_short = R"(
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
s = [l for l in lines if l["type"] == "signalled"]
v = [l for l in lines if l["type"] == "verdict"]
assert len(s) == 1 and s[0]["name"] == "SIGTERM", s
assert len(v) == 1 and v[0]["outcome"] == "not_collected", v
e = [l for l in lines if l["type"] == "ended" and l["pid"] == v[0]["pid"]]
# Given from its end to the signal, on the watcher's clock; not the wait.
print(abs(v[0]["delay"] - (s[0]["t"] - e[0]["t"])) < 0.05 and
      v[0]["delay"] < 30)
)";

/* Each init collects the probe's two orphans at once; the check passes. */
class RealInit : public testing::TestWithParam<const char *> {};

TEST_P(RealInit, CollectsTheProbesOrphansAtOnce)
{
	const char *init = GetParam();
	NEED_ROOT();
	NEED_INIT(init);
	Seen r = watch(under_init(init, {"--check-reaper", "-q"}));
	std::vector<std::string> z, s;

	EXPECT_TRUE(exited(r, 0)) << init << ": " << r.parent_status;
	EXPECT_EQ(r.err, "") << init;
	line(r, pattern(init, "it was handed over as a zombie"), &z);
	line(r, pattern(init, "it ended"), &s);
	EXPECT_NE(z[1], s[1]);
	EXPECT_LT(seconds(z[2].c_str()), 1.0) << init;
	EXPECT_LT(seconds(s[2].c_str()), 1.0) << init;
}

/*
 * An init collects a zombie orphan the moment it is handed over, often
 * before the watcher can look at it: the verdict is the same every run.
 */
TEST_P(RealInit, GivesTheSameVerdictsEveryRun)
{
	const char *init = GetParam();
	NEED_ROOT();
	NEED_INIT(init);
	std::regex collected("^reaper: child \\d+ was collected with wait by "
			     "PID 1 \\(" +
			     std::string(init) + "\\) ");
	for (int run = 0; run < 20; run++) {
		Seen r = watch(under_init(init, {"--check-reaper", "-q"}));
		std::istringstream in(r.out);
		int verdicts = 0, collections = 0;
		for (std::string l; std::getline(in, l);) {
			verdicts += l.rfind("reaper: ", 0) == 0;
			collections += std::regex_search(l, collected);
		}
		ASSERT_TRUE(exited(r, 0)) << init << " run " << run << "\n"
					  << r.out;
		ASSERT_EQ(verdicts, 2) << init << " run " << run << "\n"
				       << r.out;
		ASSERT_EQ(collections, 2) << init << " run " << run << "\n"
					  << r.out;
	}
}

/* Test names take no dash: dumb_init. */
INSTANTIATE_TEST_SUITE_P(Reaper, RealInit,
    testing::Values("tini", "dumb-init", "catatonit"),
    [](const testing::TestParamInfo<const char *> &info) {
	    std::string name = info.param;
	    std::replace(name.begin(), name.end(), '-', '_');
	    return name;
    });

/*
 * The status is the check's: 3 names both orphans left to a PID 1 that
 * never collects, whatever the program's own status; a release is no
 * wait; as PID 1 there is nothing to check.
 */
TEST(Reaper, StatusIsTheChecksAlone)
{
	NEED_ROOT();
	Seen never = watch(under_pid1(
	    "ignore", {WATCH_PATH, "--check-reaper", "--reaper-wait=1", "-q"}));
	std::vector<std::string> z, s;
	EXPECT_TRUE(exited(never, 3)) << never.parent_status;
	line(never,
	    "^reaper: child (\\d+) was not collected by PID 1 \\(pid1\\) "
	    "within 1\\.000s of its hand-over as a zombie$",
	    &z);
	line(never,
	    "^reaper: child (\\d+) was not collected by PID 1 \\(pid1\\) "
	    "within 1\\.000s of its end$",
	    &s);
	line(never, "^ +PID 1 \\(pid1\\) did not collect it within 1\\.000s");
	/* The check leaves what it found. */
	EXPECT_EQ(
	    never.err, "pid1: zombies of PID 1: " + z[1] + " " + s[1] + "\n");

	Seen failing = watch(under_pid1(
	    "ignore", {WATCH_PATH, "--check-reaper", "--reaper-wait=1", "sh",
			  "-c", "(sleep 0.3 &); exit 5"}));
	EXPECT_TRUE(exited(failing, 3)) << failing.parent_status;
	line(failing, "^reaper: child \\d+ was not collected");
	EXPECT_EQ(
	    failing.err.rfind("zombie-watch: sh exited with status 5\n"), 0u)
	    << failing.err;

	Seen released =
	    watch(under_pid1("release", {WATCH_PATH, "--check-reaper"}));
	EXPECT_TRUE(exited(released, 0)) << released.parent_status << "\n"
					 << released.out << released.err;
	for (int i = 0; i < 2; i++)
		line(released, "^reaper: child \\d+ was released by the kernel "
			       "because PID 1 \\(pid1\\) ignores SIGCHLD; no "
			       "one called wait$");
	EXPECT_EQ(released.out.find("collected with wait"), std::string::npos);

	/* As PID 1 there is no reaper above it to check; a tool is told. */
	Options first =
	    with(Out::Pipe, {"--pid", "--fork", "--mount-proc", WATCH_PATH,
				"--check-reaper", "--json"});
	first.program = "/usr/bin/unshare";
	Seen alone = watch(first);
	EXPECT_TRUE(exited(alone, 4)) << alone.parent_status;
	EXPECT_NE(
	    alone.err.find("zombie-watch is PID 1 here"), std::string::npos)
	    << alone.err;
	EXPECT_EQ(run_python(end_record, alone.out), "1 4 pid1 None\n");

	/* As a subreaper, the watcher leaves nothing for PID 1. */
	Seen adopted =
	    watch(under_pid1("ignore", {WATCH_PATH, "sh", "-c", daemon_like}));
	EXPECT_TRUE(exited(adopted, 0)) << adopted.parent_status;
	EXPECT_EQ(adopted.err, "pid1: zombies of PID 1: none\n");
}

/*
 * Run as nobody, under a root PID 1 that ignores SIGCHLD: that init refuses
 * nobody's signal, which shows it alive, so the orphans are still its, and
 * released by the kernel, not collected by a guess.  The watcher runs from a
 * copy nobody may reach, whatever the build's folders allow.
 */
TEST(Reaper, AnInitThatRefusesASignalIsAlive)
{
	NEED_ROOT();
	ProgramCopy copy(WATCH_PATH);
	ASSERT_FALSE(copy.path().empty());
	Seen r = watch(under_pid1("release",
	    {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
		"--clear-groups", copy.path(), "--check-reaper", "-q"}));

	EXPECT_TRUE(exited(r, 0)) << r.parent_status << r.err;
	for (int i = 0; i < 2; i++)
		line(r,
		    "^reaper: child \\d+ was released by the kernel because "
		    "PID 1 \\(pid1\\) ignores SIGCHLD; no one called wait$");
	EXPECT_EQ(r.out.find("collected with wait"), std::string::npos);
}

/* Nothing checked, or an orphan perhaps missed, is no pass. */
TEST(Reaper, NoOrphanOrNoRecordsIsNoPass)
{
	NEED_ROOT();
	NEED_INIT("tini");
	Seen none =
	    watch(under_init("tini", {"--check-reaper", "sh", "-c", "exit 3"}));
	EXPECT_TRUE(exited(none, 4)) << none.parent_status;
	EXPECT_EQ(none.out.find("reaper:"), std::string::npos) << none.out;

	/* Without fork records a program's orphan may be missed: no pass. */
	Options blind =
	    under_init("tini", {"--check-reaper", "sh", "-c", daemon_like});
	blind.no_perf = true;
	Seen unsure = watch(blind);
	EXPECT_TRUE(exited(unsure, 4)) << unsure.parent_status;
	EXPECT_NE(unsure.err.find("the check cannot pass (status 4)"),
	    std::string::npos)
	    << unsure.err;
	/* The probe needs none. */
	blind.args.resize(blind.args.size() - 3);
	Seen probed = watch(blind);
	EXPECT_TRUE(exited(probed, 0)) << probed.err;
}

/*
 * A signal ends the check at once, even in the reaper's long wait: the
 * zombie it awaited is judged for the time it was given, the last JSON
 * line says what ended it, and the watcher ends by that signal.
 */
TEST(Reaper, ASignalEndsTheReapersWaitAtOnce)
{
	NEED_ROOT();
	char name[] = "/tmp/zombie-json-XXXXXX";
	int fd = mkstemp(name);
	ASSERT_NE(fd, -1);
	(void)close(fd);
	/*
	 * Orphaned at 0.2 s, a zombie from 0.5 s that PID 1 never collects:
	 * long before the signal, however slowly the watcher starts.
	 */
	Options o = under_pid1("ignore",
	    {WATCH_PATH, "--check-reaper", "--reaper-wait=60", "--json", "-o",
		name, "sh", "-c", "sleep 0.5 & exec sleep 0.2"});
	o.signal_at = 3.0;
	o.signal_to_grandchild = true;
	Seen r = watch(o);

	/* PID 1 ends as the watcher did, as a shell shows it. */
	EXPECT_TRUE(exited(r, 128 + SIGTERM)) << r.parent_status;
	double end = r.grandchild_zombie_at >= 0 ? r.grandchild_zombie_at
						 : r.grandchild_gone_at;
	EXPECT_GE(r.signalled_at, 3.0);
	EXPECT_GE(end, r.signalled_at);
	EXPECT_LT(end - r.signalled_at, 1.0)
	    << "signalled at " << r.signalled_at << "s, ended at " << end;
	std::ifstream in(name);
	std::string out((std::istreambuf_iterator<char>(in)),
	    std::istreambuf_iterator<char>());
	(void)unlink(name);
	EXPECT_EQ(run_python(end_record, out), "1 143 signal SIGTERM\n");
	EXPECT_EQ(run_python(cut_short, out), "True\n") << out;
}

/*
 * Collected at once, the orphan may be gone before the watcher can look at
 * it; the program makes sure of that by stopping the watcher meanwhile.
 */
const char *unseen = "sleep 0.3 & (sleep 0.1; kill -STOP $PPID; sleep 0.5; "
		     "kill -CONT $PPID) & exec sleep 0.4";

/* The delay is the kernel's to the watcher's sight: bounded, not exact. */
TEST(Reaper, DelayOfAnInitThatCollectsLateOrUnseen)
{
	NEED_ROOT();
	struct {
		const char *mode, *program;
		double least, most;
	} cases[] = {
	    {"collect=0.4", orphan, 0.39, 2.5}, {"collect=0", unseen, 0, 1.0}};
	for (const auto &c : cases) {
		Seen r = watch(under_pid1(c.mode,
		    {WATCH_PATH, "--check-reaper", "sh", "-c", c.program}));
		std::vector<std::string> m;

		EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
		EXPECT_EQ(r.err, "");
		/*
		 * Ended before its parent, it is handed over as a zombie; on
		 * a loaded machine its start may lag so far that it ends
		 * after: the delay is then from its end, as bounded.
		 */
		line(r,
		    "^reaper: child \\d+ was collected with wait by PID 1 "
		    "\\(pid1\\) (at most )?(\\d+\\.\\d{3})s after (it was "
		    "handed over as a zombie|it ended)$",
		    &m);
		EXPECT_GE(seconds(m[2].c_str()), c.least) << c.mode;
		EXPECT_LE(seconds(m[2].c_str()), c.most) << c.mode;
		line(r, "^child \\d+ +\\.*[SR]+Z+\\.* exited with status 0; "
			"collected by PID 1 \\(pid1\\)$");
	}
}

/* What a tool reads, checked with a real parser against the schema. */
const char *schema_check = R"(
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
run = lines[0]["run"]
assert lines[0]["type"] == "started" and lines[0]["schema"] == 1
assert all(l["run"] == run for l in lines), "one run"
assert isinstance(lines[0]["t"], float)
v = [l for l in lines if l["type"] == "verdict"]
assert len(v) == 2, v
assert sorted(x["since"] for x in v) == ["end", "handover"], v
for x in v:
    assert x["outcome"] == "collected" and x["collector"]["pid"] == 1
    assert x["collector"]["comm"] == "tini" and 0 <= x["delay"] < 1
assert lines[-1]["type"] == "end" and lines[-1]["status"] == 0
assert lines[-1]["program"] == {"exited": 0}
assert lines[-1]["reason"] == "done" and lines[-1]["signal"] is None
)";

TEST(Reaper, JsonOfAProbeRunParses)
{
	NEED_ROOT();
	NEED_INIT("tini");
	char name[] = "/tmp/zombie-json-XXXXXX";
	int fd = mkstemp(name);
	ASSERT_NE(fd, -1);
	(void)close(fd);
	Seen r =
	    watch(under_init("tini", {"--check-reaper", "--json", "-o", name}));
	EXPECT_TRUE(exited(r, 0)) << r.parent_status;
	/* Nothing of the watcher's own mixes with the program's output. */
	EXPECT_EQ(r.out, "");
	/* A shell finds python3 on PATH; the command holds no input's words. */
	std::string cmd = "python3 - " + std::string(name);
	FILE *py = popen(cmd.c_str(), "w"); // NOLINT(cert-env33-c)
	ASSERT_NE(py, nullptr);
	(void)fputs(schema_check, py);
	int status = pclose(py);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
	    << "the output does not fit its schema";
	(void)unlink(name);
}

} // namespace

/*
 * A grader's questions: held past the limit, a zombie is its parent's
 * leak, named in the text and by PID in JSON; within it, or handed to the
 * reaper above by a double fork, none is; a parent that ends with zombie
 * children leaks them, however soon its subreaper collects them.
 */
TEST(Leaks, StatusAndVerdictSayWhoLeakedWhat)
{
	/*
	 * Each child is meant to wait 0.1 s, but a child slow to exit on a
	 * loaded machine finds its parent in wait already: the verdicts
	 * must match the spans the watcher measured, one leak for each over
	 * the limit, and the status with them.
	 */
	Seen slow =
	    watch(watcher({"--check-leaks=0.05", FAMILY_PATH, "leaky", "2"}));
	std::string p = program_pid(slow);
	std::regex span("^summary: child (\\d+) was a zombie from .*, for "
			"(at most )?([0-9.]+)s$");
	std::istringstream in(slow.out);
	int over = 0, spans = 0;
	std::smatch sm;
	for (std::string l; std::getline(in, l);) {
		if (!std::regex_match(l, sm, span))
			continue;
		spans++;
		std::string leak =
		    "leak: parent " + p + " held child " + sm[1].str();
		bool leaked = slow.out.find(leak) != std::string::npos;
		bool is_over = seconds(sm[3].str().c_str()) > 0.05;
		EXPECT_EQ(leaked, is_over) << l << "\n" << slow.out;
		over += is_over ? 1 : 0;
	}
	EXPECT_EQ(spans, 2) << slow.out;
	EXPECT_TRUE(exited(slow, over > 0 ? 3 : 0)) << slow.parent_status;
	if (over > 0)
		line(slow, "^leaks: " + std::to_string(over) +
			       " found: zombies held over 0\\.050s, or left "
			       "behind$");

	Seen quick =
	    watch(watcher({"--check-leaks", "-q", FAMILY_PATH, "leaky", "1"}));
	EXPECT_TRUE(exited(quick, 0)) << quick.parent_status << quick.out;
	line(quick, "^leaks: none: ");

	Seen daemon = watch(watcher({"--check-leaks", "--json",
	    std::string(EXAMPLES_DIR) + "/double-fork"}));
	EXPECT_TRUE(exited(daemon, 0)) << daemon.parent_status << daemon.out;
	line(daemon, "^\\{\"type\":\"leaks\",.*\"verdict\":\"none\","
		     "\"leaks\":\\[\\]");

	Seen left = watch(
	    watcher({"--check-leaks", "--json", FAMILY_PATH, "subreaper"}));
	EXPECT_TRUE(exited(left, 3)) << left.parent_status << left.out;
	/* The program's child, which ends before the two it made. */
	std::vector<std::string> mid;
	line(left,
	    "\"type\":\"created\",[^{]*\"pid\":(\\d+),[^{]*\"by\":\\{[^}]*"
	    "\"role\":\"program\"",
	    &mid);
	std::regex by("\\{\"pid\":\\d+,\"parent\":" + mid[1] +
		      ",\"held\":0\\.\\d+,\"at_most\":false,\"left\":true");
	std::smatch m;
	std::string rest = left.out;
	int named = 0;
	while (std::regex_search(rest, m, by)) {
		named++;
		rest = m.suffix();
	}
	EXPECT_EQ(named, 2) << left.out;

	/* Without fork records a child may be missed: no pass. */
	Options blind =
	    watcher({"--check-leaks", std::string(EXAMPLES_DIR) + "/wait"});
	blind.no_perf = true;
	Seen unsure = watch(blind);
	EXPECT_TRUE(exited(unsure, 4)) << unsure.parent_status;
	EXPECT_NE(unsure.err.find("the check cannot pass (status 4)"),
	    std::string::npos)
	    << unsure.err;
}
