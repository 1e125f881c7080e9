// SPDX-License-Identifier: BSD-2-Clause
/*
 * Names that other processes chose, through the real watcher to a pipe,
 * as a CI log or a terminal gets them: no byte of a name drives what reads
 * them, and each is shown so that it cannot pass for another.
 */

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "hostile.h"

namespace {

/* What the tests' process family names itself, within the 15 bytes. */
const char family_shown[] = "\\x1b]0;\\x07\\r\\n\\t\\x7f\\u009b\\xff\\\\z";

bool
says(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

TEST(Escape, AProgramNamedToDriveTheTerminalIsShownEscaped)
{
	char dir[] = "/tmp/zombie-escape-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	std::string link = std::string(dir) + "/" + hostile_name;
	ASSERT_EQ(symlink(FAMILY_PATH, link.c_str()), 0);
	Seen r = watch(watcher({"--check-reaper", link, "term", hostile_name}));
	(void)unlink(link.c_str());
	(void)rmdir(dir);
	std::string shown = std::string(dir) + "/" + hostile_shown;

	EXPECT_EQ(obeyed(r.out), "");
	EXPECT_EQ(obeyed(r.err), "");
	EXPECT_TRUE(says(r.out, " started " + shown + " as process ")) << r.out;
	EXPECT_TRUE(says(r.err, "zombie-watch: " + shown +
				    " was killed by signal 15 (SIGTERM; a "
				    "shell shows 143)\n"))
	    << r.err;
	expect_nothing_left(r);
}

TEST(Escape, AProgramThatCannotRunIsNamedEscaped)
{
	Seen r = watch(watcher({std::string("/nonexistent/") + hostile_name}));

	EXPECT_TRUE(exited(r, 127)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, std::string("zombie-watch: cannot run /nonexistent/") +
			     hostile_shown + ": No such file or directory\n");
	EXPECT_EQ(obeyed(r.out), "");
	expect_nothing_left(r);
}

/*
 * A process that names itself, its child and the zombie it holds after
 * it, followed with --pid and found by --scan: every name shown escaped.
 */
TEST(Escape, ACommandNameSetByTheProcessIsShownEscaped)
{
	Options o = with(Out::Pipe, {"rename", WATCH_PATH});
	o.program = FAMILY_PATH;
	Seen r = watch(o);
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(obeyed(r.out), "");
	EXPECT_EQ(obeyed(r.err), "");
	line(r, "^scene: child (\\d+) zombie (\\d+)$", &m);
	ASSERT_EQ(m.size(), 3U);
	std::string named = std::string(" (") + family_shown + ")";
	EXPECT_TRUE(says(
	    r.out, "follows parent " + m[1] + named + ", already running\n"))
	    << r.out;
	EXPECT_TRUE(says(r.out,
	    "; collected by PID " + std::to_string(r.parent) + named + "\n"))
	    << r.out;
	EXPECT_TRUE(says(r.out, "\nparent " + m[1] + named + ", ")) << r.out;
	EXPECT_TRUE(says(r.out, "zombie: " + m[2] + named + "\n")) << r.out;
	expect_nothing_left(r);
}

} // namespace
