// SPDX-License-Identifier: BSD-2-Clause
/*
 * Names that other processes chose, as the text shows them: whatever bytes
 * a name holds, nothing of it drives the terminal or passes for the
 * watcher's own words, and a printable name reads as it is.
 */

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/log.h"
#include "hostile.h"
#include "log_events.h"
#include "report/narrate.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "report/words.h"
#include "story.h"

TEST(Visible, ControlBytesAreShownAsTextThatDrivesNothing)
{
	EXPECT_EQ(visible("\x1b]0;owned\a"), "\\x1b]0;owned\\x07");
	EXPECT_EQ(visible("a\rb\nc\td"), "a\\rb\\nc\\td");
	EXPECT_EQ(
	    visible(std::string("\0\x01\x1f\x7f", 4)), "\\x00\\x01\\x1f\\x7f");
	/* U+009B acts as ESC [ on many terminals: 2J clears the screen. */
	EXPECT_EQ(visible("\xc2\x80"
			  "a\xc2\x9b"
			  "2J\xc2\x9f"),
	    "\\u0080a\\u009b2J\\u009f");
	/* Alone, cut short, overlong, a surrogate, past U+10FFFF. */
	EXPECT_EQ(visible("\xff\xfe"), "\\xff\\xfe");
	EXPECT_EQ(visible("\x9b"
			  "2J"),
	    "\\x9b2J");
	EXPECT_EQ(visible("ab\xe5\x83"), "ab\\xe5\\x83");
	EXPECT_EQ(visible("\xc0\xaf"), "\\xc0\\xaf");
	EXPECT_EQ(visible("\xed\xa0\x80"), "\\xed\\xa0\\x80");
	EXPECT_EQ(visible("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
	/* A backslash is doubled: no name can pass for an escaped one. */
	EXPECT_EQ(visible("\\x1b"), "\\\\x1b");
	EXPECT_EQ(visible(hostile_name), hostile_shown);
}

TEST(Visible, PrintableNamesPassAsTheyAre)
{
	for (const char *name :
	    {"", "zombie", "/usr/bin/python3.12", "kworker/0:1-events", "a b",
		"~!@#$%^&*()_+{}|:\"<>?`-=[];',./", "caf\xc3\xa9", "\xc2\xa0",
		"\xe5\x83\xb5\xe5\xb0\xb8", "\xf0\x9f\x92\x80"})
		EXPECT_EQ(visible(name), name);
}

TEST(Visible, NoByteOfAnyNameReachesTheTerminal)
{
	std::string every;
	std::set<std::string> shown;

	for (int c = 0; c < 256; c++) {
		every += (char)c;
		shown.insert(visible(std::string(1, (char)c)));
	}
	for (int c = 0x80; c < 0xA0; c++)
		every += "\xc2" + std::string(1, (char)c);
	EXPECT_EQ(obeyed(visible(every)), "");
	/* Each byte shown its own way, so that none is mistaken. */
	EXPECT_EQ(shown.size(), 256U);
}

TEST(Narrate, AProgramNamedToDriveTheTerminalIsShownEscaped)
{
	Log log;
	ProcId w = log.add_process(7821, Role::Watcher);
	Event start = at(0, What::Started,
	    log.add_process(7822, Role::Program, hostile_name), w);
	log.append(start);
	start.before = true;
	log.append(start);

	EXPECT_EQ(narrate(log, 0, Style()),
	    std::string("[  0.0s] zombie-watch (7821) started ") +
		hostile_shown + " as process 7822\n");
	EXPECT_EQ(head(narrate(log, 1, Style())),
	    std::string("[  0.0s] zombie-watch (7821) follows parent 7822 (") +
		hostile_shown + "), already running");
}

/* A reaper named by its user: in the line, the reason, the report. */
TEST(Narrate, AReaperNamedToDriveTheTerminalIsShownEscaped)
{
	Story r;
	ProcId reaper = r.log.add_process(1, Role::Outsider, hostile_name);
	ProcId c = r.forked(sec, 7826, r.program);
	r.put(ended(2 * sec, r.program, r.watcher, 0, false));
	r.put(collected(2 * sec, r.program, r.watcher, How::Wait));
	std::string p = r.put(orphaned(2 * sec, c, reaper, 'S'));
	std::string named = std::string("PID 1 (") + hostile_shown + ")";
	r.put(ended(3 * sec, c, reaper, 0));
	r.put(collected(4 * sec, c, reaper, How::Wait));
	std::string report = summary(r.log) + verdicts(r.log, r.style) +
			     timeline(r.log, 4 * sec, r.style);

	EXPECT_EQ(head(p), "[  2.0s] child 7826, orphaned and still sleeping "
			   "(S), passes to " +
			       named);
	EXPECT_TRUE(has(reasons(p), ("here that is " + named + ".").c_str()));
	EXPECT_TRUE(has(r.printed,
	    ("] " + named + " collected child 7826, which exited").c_str()));
	EXPECT_TRUE(has(report, ("; collected by " + named + "\n").c_str()));
	EXPECT_TRUE(has(report, ("with wait by " + named + " ").c_str()));
	EXPECT_EQ(obeyed(r.printed + report), "");
}
