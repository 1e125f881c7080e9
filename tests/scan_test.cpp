// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --scan on real zombies: a scene of the tests' own in a PID
 * namespace of its own, where nothing else can add or take a zombie, and
 * this machine as it is.  The JSON is read by a real parser, python3's.
 */

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

/* Lines and their folded reasons as one line each. */
std::string
unfold(std::string text)
{
	for (size_t at; (at = text.find("\n         ")) != std::string::npos;)
		text.replace(at, 10, " ");
	return text;
}

/* What python3's json module reads in text, as the script prints it. */
std::string
parsed(const std::string &text, const char *script)
{
	char path[] = "/tmp/zombie-scan-XXXXXX";
	int fd = mkstemp(path), p[2];
	bool written =
	    fd != -1 &&
	    write(fd, text.data(), text.size()) == (ssize_t)text.size() &&
	    close(fd) == 0;
	EXPECT_TRUE(written) << path;
	EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
	pid_t pid = fork();
	if (pid == 0) {
		(void)dup2(p[1], 1);
		(void)execlp(
		    "python3", "python3", "-c", script, path, (char *)nullptr);
		_exit(127);
	}
	(void)close(p[1]);
	std::string out;
	char buf[4096];
	for (ssize_t n; (n = read(p[0], buf, sizeof(buf))) > 0;)
		out.append(buf, (size_t)n);
	(void)close(p[0]);
	int status = -1;
	(void)waitpid(pid, &status, 0);
	(void)unlink(path);
	EXPECT_EQ(status, 0) << "python3 could not parse:\n" << text;
	return out;
}

/* One line a parent, then one a leader whose threads run on. */
const char *groups = R"(import json, sys
d = json.load(open(sys.argv[1]))
print(d["zombies"])
for p in d["parents"]:
    print(p["hold"], p["pid"], p["comm"], p["state"], p["sigchld"],
          p["sigchld_blocked"], len(p["zombies"]),
          [a["pid"] for a in p["ancestors"]], p["init"] and p["init"]["pid"])
for l in d["not_zombies"]:
    print("leader", l["pid"], l["comm"], l["threads"]))";

void
has_line(const std::string &text, const std::string &pattern)
{
	EXPECT_TRUE(std::regex_search(
	    text, std::regex(
		      pattern, std::regex::ECMAScript | std::regex::multiline)))
	    << pattern << " in:\n"
	    << text;
}

} // namespace

/*
 * A parent that catches SIGCHLD and holds two zombies, a stopped one that
 * blocks it and holds one, a leader whose thread runs on, and an orphan
 * left to a PID 1 that never collects: each grouped and explained.
 */
TEST(ScanLive, ExplainsEachZombieInANamespaceOfItsOwn)
{
	NEED_ROOT();
	Seen r = watch(under_pid1("ignore", {FAMILY_PATH, "scan", WATCH_PATH}));
	std::vector<std::string> m;
	line(r,
	    "^scene: family (\\d+) holder (\\d+) stopped (\\d+) leader (\\d+) "
	    "orphan (\\d+)$",
	    &m);
	const std::string family = m[1], holder = m[2], stopped = m[3],
			  leader = m[4], orphan = m[5];
	EXPECT_TRUE(exited(r, 3)) << r.parent_status << r.err;
	line(r, "^json status 3$");

	std::string text = unfold(r.out);
	has_line(text, "^4 zombies in this PID namespace, under 3 parents$");
	has_line(text, "^parent " + holder +
			   " \\(family\\), sleeping \\(S\\), holds 2 zombies: "
			   "\\d+ \\(family\\), \\d+ \\(family\\) The oldest, "
			   "\\d+, started [0-9.]+s ago; .* It has a handler "
			   "for SIGCHLD, .* Parent " +
			   holder + " must call wait; ending parent " + holder +
			   " hands them to its nearest ancestor that is a "
			   "child subreaper, if any \\(the kernel does not "
			   "show which are; between it and the init: " +
			   family +
			   " \\(family\\)\\), else to PID 1 "
			   "\\(pid1\\)\\.$");
	has_line(text, "^parent " + stopped +
			   " \\(family\\), stopped \\(T\\), holds 1 zombie: "
			   "\\d+ \\(family\\) .* Parent " +
			   stopped +
			   " is stopped, so it cannot collect it until it is "
			   "sent SIGCONT\\. It blocks SIGCHLD, which is at its "
			   "default: .* Parent " +
			   stopped + " must call wait;");
	has_line(text,
	    "^PID 1 \\(pid1\\), sleeping \\(S\\), holds 1 zombie: " + orphan +
		" \\(family\\) .* PID 1 is the init of this PID "
		"namespace: .* Check it with zombie-watch "
		"--check-reaper, and run an init that collects .*$");
	has_line(text, "^process " + leader +
			   " \\(family\\) is not a zombie: its main thread "
			   "exited, 1 thread still runs ps shows it as Zl\\.");

	std::string json = r.out.substr(r.out.find("\n{") + 1);
	std::string got = parsed(json.substr(0, json.find('\n')), groups);
	has_line(got, "^4$");
	has_line(got, "^alive " + holder + " family S caught False 2 \\[" +
			  family + "\\] 1$");
	has_line(got, "^stopped " + stopped + " family T default True 1 \\[" +
			  family + "\\] 1$");
	has_line(got, "^init 1 pid1 S default False 1 \\[\\] None$");
	has_line(got, "^leader " + leader + " family 1$");
}

TEST(ScanLive, NoneExitsZeroAndTheOutputFileIsChecked)
{
	NEED_ROOT();
	Seen r = watch(under_pid1("ignore", {WATCH_PATH, "--scan"}));
	EXPECT_EQ(r.out, "no zombie in this PID namespace\n");
	EXPECT_TRUE(exited(r, 0)) << r.parent_status << r.err;

	r = watch(under_pid1("ignore", {WATCH_PATH, "--scan", "--json"}));
	EXPECT_EQ(parsed(r.out, groups), "0\n");
	EXPECT_TRUE(exited(r, 0)) << r.parent_status << r.err;

	r = watch(watcher({"--scan", "-o", "/nonexistent/scan"}));
	EXPECT_EQ(r.err, "zombie-watch: /nonexistent/scan: No such file or "
			 "directory\n");
	EXPECT_TRUE(exited(r, 125)) << r.parent_status;
}

/*
 * This machine as it is, with processes ending as they are read: the scan
 * must stand, its JSON must parse, and its status must match its count.
 */
TEST(ScanLive, ThisMachineAsItIs)
{
	char path[] = "/tmp/zombie-scan-out-XXXXXX";
	int fd = mkstemp(path);
	EXPECT_NE(fd, -1);
	if (fd != -1)
		(void)close(fd);
	Seen r = watch(watcher({"--scan", "--json", "-o", path}));
	std::string json;
	fd = open(path, O_RDONLY | O_CLOEXEC);
	char buf[65536];
	for (ssize_t n; fd != -1 && (n = read(fd, buf, sizeof(buf))) > 0;)
		json.append(buf, (size_t)n);
	(void)close(fd);
	(void)unlink(path);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	std::string got = parsed(json, groups);
	long zombies = strtol(got.c_str(), nullptr, 10);
	EXPECT_TRUE(exited(r, zombies == 0 ? 0 : 3)) << r.parent_status << "\n"
						     << got;
}

/*
 * /proc mounted to hide other users' processes, and the scan run as
 * nobody: it cannot see the zombies there may be, and says so, never 0.
 * The watcher runs from a copy nobody may reach, whatever the build's
 * folders allow, in a PID namespace of its own: nobody's processes
 * elsewhere, such as a zombie of another run of this test, are not its.
 */
TEST(ScanLive, HiddenProcessesAreSaidNotDenied)
{
	NEED_ROOT();
	ProgramCopy copy(WATCH_PATH);
	ASSERT_FALSE(copy.path().empty());
	const std::string script =
	    "mount -t proc -o hidepid=2 proc /proc && "
	    "setpriv --reuid=nobody --regid=nogroup --clear-groups "
	    "\"$0\" --scan";
	Options o =
	    with(Out::Pipe, {"--mount", "--propagation", "private", "--pid",
				"--fork", "sh", "-c", script, copy.path()});
	o.program = "/usr/bin/unshare";
	Seen r = watch(o);

	EXPECT_TRUE(exited(r, 4)) << r.parent_status << r.err;
	EXPECT_EQ(r.err, "");
	/* The kernel names the option its own way: 2 is "invisible". */
	has_line(unfold(r.out),
	    "^no zombie among the processes this user can see /proc is "
	    "mounted with hidepid=(2|invisible): other users' processes, and "
	    "their zombies, cannot be seen");
}
