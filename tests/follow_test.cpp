// SPDX-License-Identifier: BSD-2-Clause
/*
 * Following a process the watcher did not start, as on a running machine:
 * it must see what the process does and change nothing of it.
 */

#include "harness.h"

#include <regex>
#include <string>
#include <vector>

namespace {

/*
 * A service of the tests' own that leaks a short zombie every 100 ms, and
 * a shell that starts it, follows it and gives both statuses, the
 * watcher's in the high nibble.
 */
TEST(Follow, ReportsTheZombiesOfARunningProcessAndLeavesItBe)
{
	const int n = 10;
	std::string script = std::string(FAMILY_PATH) + " leaky " +
			     std::to_string(n) + " & " + WATCH_PATH +
			     " --pid=$!; s=$?; wait $!; exit $((s * 16 + $?))";
	Options o = with(Out::Pipe, {"-c", script});
	o.program = "/bin/sh";
	Seen r = watch(o);
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	/* It ends when the process does, which lives 2 s + n * 0.1 s. */
	EXPECT_LT(r.parent_exit_at, 2.0 + n * 0.1 + 3.0);
	line(r,
	    "^\\[ +\\d+\\.\\ds\\] zombie-watch \\(\\d+\\) follows parent "
	    "(\\d+) \\(\\S+\\), already running$",
	    &m);
	std::string parent = m[1];

	/* Behind, the watcher says the end of a span is only a bound. */
	std::regex span("^summary: child \\d+ was a zombie from "
			"\\d+\\.\\d{3}s to (?:at most )?\\d+\\.\\d{3}s, for "
			"(?:at most )?(\\d+\\.\\d{3})s$");
	std::istringstream in(r.out);
	std::string l;
	int spans = 0;
	for (std::smatch sm; std::getline(in, l);)
		if (std::regex_match(l, sm, span)) {
			/* About 0.1 s each; the child itself may start late. */
			spans++;
			EXPECT_LE(seconds(sm[1].str().c_str()), 2.0) << l;
		}
	EXPECT_EQ(spans, n) << r.out;
	line(r, "^child \\d+ +\\.*Z+\\.* exited with status 0; collected by "
		"parent " +
		    parent + "$");
	/* A loaded machine may hold it in D a moment, as a page comes in. */
	line(r, "^parent " + parent +
		    " +[SRDZ.]+ exited with status 0; collected by PID \\d+ "
		    "\\(sh\\)$");
	/* Nothing of it came to the watcher, nor was left to the harness. */
	EXPECT_EQ(r.out.find("collected by zombie-watch"), std::string::npos);
	expect_nothing_left(r);
}

} // namespace

/* A thread's number, as top -H shows it: its process is followed. */
TEST(Follow, AThreadsNumberFollowsItsProcess)
{
	std::string script =
	    "python3 -c 'import threading, time; "
	    "t = threading.Thread(target=time.sleep, args=(2,)); t.start(); "
	    "print(t.native_id, flush=True); t.join()' | "
	    "{ read tid; exec " +
	    std::string(WATCH_PATH) + " --pid=$tid; }";
	Options o = with(Out::Pipe, {"-c", script});
	o.program = "/bin/sh";
	Seen r = watch(o);

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	std::smatch sm;
	ASSERT_TRUE(std::regex_match(r.err, sm,
	    std::regex("zombie-watch: --pid=\\d+ is a thread of process "
		       "(\\d+): following the process\n")))
	    << r.err;
	line(r, "^\\[ +\\d+\\.\\ds\\] zombie-watch \\(\\d+\\) follows parent " +
		    sm[1].str() + " \\(python3\\), already running$");
	line(r, "\\] parent " + sm[1].str() + " exited with status 0$");
}

/* A zombie has nothing left to follow: why it stays is told, at once. */
TEST(Follow, AZombieIsExplainedAndNotFollowed)
{
	std::string script =
	    "sh -c 'sleep 0.2 & exec sleep 5' & p=$!; sleep 1.5; "
	    "z=$(cat /proc/$p/task/$p/children); " +
	    std::string(WATCH_PATH) + " --pid=$z; s=$?; kill $p; exit $s";
	Options o = with(Out::Pipe, {"-c", script});
	o.program = "/bin/sh";
	Seen r = watch(o);

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_LT(r.parent_exit_at, 4.0);
	EXPECT_EQ(r.err, "");
	line(r, "^process \\d+ \\(sleep\\) is a zombie already: it has ended, "
		"and parent \\d+ \\(sleep\\), sleeping \\(S\\), holds it$");
	EXPECT_EQ(r.out.find("follows"), std::string::npos) << r.out;
}
