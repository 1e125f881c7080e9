// SPDX-License-Identifier: BSD-2-Clause
/*
 * However the watcher ends, a tool that asked for JSON reads why from its
 * last line: one end record, with the status and the reason, read back
 * here by a real JSON parser, python3's.
 */

#include "harness.h"

#include <signal.h>

#include <string>

namespace {

/*
 * The first line's type, how many end lines, and of the last line, which
 * must be the end: the status, the reason, the signal and the program's
 * status.  Every line is JSON, of the one run; blank lines are the
 * program's own.
 */
const char *ending = R"(
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
e = lines[-1]
assert e["type"] == "end" and e["schema"] == 1, e
assert all(l["run"] == e["run"] for l in lines), "one run"
assert len(e["run"]) == 16, e["run"]
print(lines[0]["type"], sum(l["type"] == "end" for l in lines),
      e["status"], e["reason"], e["signal"], e["program"])
)";

/* As a shell sees it: 128+N for a watcher ended by signal N. */
bool
ended_with(const Seen &r, int status)
{
	return status > 128 ? ended_by(r, status - 128) : exited(r, status);
}

TEST(End, EveryWayAWatchEndsIsItsLastJsonLine)
{
	struct {
		Options o;
		int status;
		const char *said;
	} cases[] = {
	    {watcher({"--json", "sh", "-c", "exit 3"}), 3,
		"started 1 3 done None {'exited': 3}\n"},
	    {watcher({"--json", "--bogus"}), 2, "end 1 2 usage None None\n"},
	    {watcher({"--json", "/nonexistent"}), 127,
		"end 1 127 not_found None None\n"},
	    {watcher({"--json", "/dev/null"}), 126,
		"end 1 126 cannot_run None None\n"},
	    {watcher({"--json", "--pid=999999999"}), 125,
		"end 1 125 no_process None None\n"},
	    {watcher({"--json", "sh", "-c", "echo ran"}), 125,
		"end 1 125 failed None None\n"},
	    {watcher({"--json", "sh", "-c", "sleep 5"}), 128 + SIGTERM,
		"started 1 143 signal SIGTERM {'signal': 15, 'name': "
		"'SIGTERM', 'core': False}\n"},
	};
	/* Refused, as a seccomp profile may: said at once, and nothing ran. */
	cases[5].o.no_waitid = true;
	cases[6].o.signal_at = 0.5;
	for (const auto &c : cases) {
		Seen r = watch(c.o);
		EXPECT_TRUE(ended_with(r, c.status))
		    << c.said << "wait status " << r.parent_status;
		EXPECT_EQ(run_python(ending, r.out), c.said) << r.err;
		EXPECT_LT(r.parent_exit_at, 5.0) << c.said;
		expect_nothing_left(r);
		if (c.o.no_waitid) {
			EXPECT_EQ(r.err,
			    "zombie-watch: waitid: Operation not permitted\n");
		}
	}
}

/*
 * An output that refused a write for a while, as a non-blocking pipe
 * whose reader is slow does, has failed: the watcher writes nothing more
 * and ends with 125, but its last line still goes out once the pipe
 * takes it again.
 */
TEST(End, AnOutputThatFailedStillGetsTheLastLineIfItCan)
{
	/*
	 * The program fills the pipe, whatever the watcher wrote to it first,
	 * with empty lines, and makes a child to tell of.
	 */
	Options o = watcher({"--json", "sh", "-c",
	    "while printf '\\n' 2>/dev/null; do :; done; sleep 1; "
	    "exec sleep 3"});
	o.out = Out::Stalled;
	Seen r = watch(o);

	EXPECT_TRUE(exited(r, 125)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "zombie-watch: standard output: Resource temporarily "
			 "unavailable\n");
	std::string said = run_python(ending, r.out);
	/* Whether the first line went out depends on who wrote first. */
	EXPECT_EQ(said.substr(said.find(' ') + 1),
	    "1 125 output None {'exited': 0}\n");
	expect_nothing_left(r);
}

} // namespace
