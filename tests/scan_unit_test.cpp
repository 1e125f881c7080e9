// SPDX-License-Identifier: BSD-2-Clause
/*
 * The scan's words and JSON, from scans made by hand: each parent as /proc
 * could show it, and what the user would read of it.
 */

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/scan.h"
#include "core/status.h"
#include "hostile.h"
#include "log_events.h"
#include "report/json.h"
#include "report/scan.h"

namespace {

ScanParent
holder(pid_t pid, const char *comm, char state, Hold hold,
    std::vector<ScanZombie> zombies)
{
	ScanParent p;
	p.proc = Named{pid, comm};
	p.state = state;
	p.hold = hold;
	p.sigchld = Sigchld::Default;
	p.zombies = std::move(zombies);
	p.init = Named{1, "systemd"};
	return p;
}

/* The reasons unfolded, so that a phrase is found across a fold. */
std::string
flat(const std::string &text)
{
	std::istringstream in(text);
	std::string line, s;
	const std::string indent(9, ' ');
	bool reason = false;
	while (std::getline(in, line)) {
		bool more = line.rfind(indent, 0) == 0;
		s += more && reason ? " " + line.substr(indent.size())
				    : (s.empty() ? "" : "\n") + line;
		reason = more;
	}
	return s + "\n";
}

/* The status a --scan run ends with, given what it found. */
int
status_of(const Scan &scan)
{
	ExitFacts f;
	f.mode = Mode::Scan;
	f.zombies = zombie_count(scan);
	f.scan_hidden = scan.hidden_by.has_value();
	return static_cast<int>(exit_status(f));
}

} // namespace

TEST(Scan, NoZombieIsSaidAndExitsZero)
{
	Scan scan;
	EXPECT_EQ(scan_text(scan, 78), "no zombie in this PID namespace\n");
	EXPECT_EQ(scan_json(scan),
	    "{\"schema\":1,\"zombies\":0,\"hidden_by\":null,\"parents\":[],"
	    "\"not_zombies\":[]}\n");
	EXPECT_EQ(status_of(scan), 0);

	/* A leader whose threads run on is not a zombie. */
	scan.leaders.push_back(ScanLeader{Named{60, "java"}, 59, 2});
	std::string text = flat(scan_text(scan, 78));
	EXPECT_EQ(
	    text.substr(0, text.find('\n')), "no zombie in this PID namespace");
	EXPECT_NE(text.find("process 60 (java) is not a zombie: its main "
			    "thread exited, 2 threads still run\n"
			    "         ps shows it as Zl. It ends when its last "
			    "thread does; only then can it become a zombie of "
			    "its parent, 59."),
	    std::string::npos)
	    << text;
	EXPECT_EQ(status_of(scan), 0);
}

/*
 * With /proc hiding other users' processes, none seen is not none there:
 * it says so, and the status is "could not check" unless one was seen.
 */
TEST(Scan, HiddenProcessesAreSaidNotDenied)
{
	Scan scan;
	scan.hidden_by = "hidepid=2";
	std::string text = scan_text(scan, 78);
	EXPECT_EQ(text.substr(0, text.find('\n')),
	    "no zombie among the processes this user can see");
	EXPECT_NE(flat(text).find("/proc is mounted with hidepid=2: other "
				  "users' processes, and their zombies, cannot "
				  "be seen"),
	    std::string::npos)
	    << text;
	EXPECT_NE(scan_json(scan).find("\"hidden_by\":\"hidepid=2\""),
	    std::string::npos);
	EXPECT_EQ(status_of(scan), 4);

	scan.parents.push_back(holder(
	    91, "w", 'S', Hold::Alive, {ScanZombie{Named{92, "w"}, 3 * sec}}));
	text = scan_text(scan, 78);
	EXPECT_EQ(text.substr(0, text.find('\n')),
	    "1 zombie among the processes this user can see, under 1 parent");
	EXPECT_EQ(status_of(scan), 3);
}

TEST(Scan, LiveParentsSayWhyTheirZombiesStayAndWhereTheyWouldGo)
{
	Scan scan;
	ScanParent bash = holder(4242, "bash", 'S', Hold::Alive,
	    {{{4243, "sh"}, 125 * sec}, {{4244, "sh"}, 3 * sec}});
	bash.sigchld = Sigchld::Caught;
	bash.ancestors = {{4000, "sshd"}};
	ScanParent make = holder(
	    77, "make", 'T', Hold::Stopped, {{{78, "cc"}, 12'340'000'000}});
	make.blocked = true;
	ScanParent gdb = holder(
	    91, "app", 't', Hold::Traced, {{{92, "w"}, 7200 * sec + 61 * sec}});
	gdb.tracer = Named{90, "gdb"};
	gdb.threads = 3;
	gdb.sigchld = Sigchld::Ignored;
	scan.parents = {bash, make, gdb};

	std::string text = flat(scan_text(scan, 78));
	auto has = [&](const std::string &s) {
		EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
	};
	EXPECT_EQ(text.substr(0, text.find('\n')),
	    "4 zombies in this PID namespace, under 3 parents");
	has("\nparent 4242 (bash), sleeping (S), holds 2 zombies: 4243 (sh), "
	    "4244 (sh)\n         The oldest, 4243, started 2m05s ago; when "
	    "each ended is not recorded. Parent 4242 is alive and has not "
	    "collected them with wait. It has a handler for SIGCHLD, so it is "
	    "told when a child ends, yet has not called wait for them. Parent "
	    "4242 must call wait; ending parent 4242 hands them to its nearest "
	    "ancestor that is a child subreaper, if any (the kernel does not "
	    "show which are; between it and the init: 4000 (sshd)), else to "
	    "PID 1 (systemd).\n");
	has("\nparent 77 (make), stopped (T), holds 1 zombie: 78 (cc)\n"
	    "         Zombie 78 started 12.3s ago; when it ended is not "
	    "recorded. Parent 77 is stopped, so it cannot collect it until it "
	    "is sent SIGCONT. It blocks SIGCHLD, which is at its default: the "
	    "signal stays pending, for sigwait or a signalfd to take, and "
	    "would be discarded once unblocked; either way only a call to "
	    "wait collects a child. Parent 77 must call wait; ending parent 77 "
	    "hands it to PID 1 "
	    "(systemd).\n");
	has("\nparent 91 (app), stopped by a tracer (t), holds 1 zombie: 92 "
	    "(w)\n         Zombie 92 started 2h01m ago; when it ended is not "
	    "recorded. Parent 91 is stopped by its tracer 90 (gdb), so it "
	    "cannot collect it until the tracer lets it run again. It ignores "
	    "SIGCHLD now, so the kernel releases the children that end from "
	    "now on, but not this one, which ended before. Parent 91 has 3 "
	    "threads: the end of one thread hands its children to another "
	    "thread of the same process, so the process holds its zombie until "
	    "its last thread ends. Parent 91 must call wait; ending parent 91 "
	    "hands it to PID 1 (systemd).\n");
	EXPECT_EQ(status_of(scan), 3);
}

TEST(Scan, InitsAndUnseenParentsAreToldApart)
{
	Scan scan;
	ScanParent init =
	    holder(1, "sleep", 'S', Hold::Init, {{{7, "sh"}, 30 * sec}});
	init.init.reset();
	ScanParent nested =
	    holder(5000, "pid1", 'S', Hold::Init, {{{5001, "x"}, sec}});
	nested.nested = true;
	ScanParent outside = holder(0, "", 0, Hold::Outside, {{{9, "y"}, sec}});
	outside.sigchld.reset();
	ScanParent gone = holder(44, "", 0, Hold::Gone, {{{45, "z"}, sec}});
	ScanParent unread =
	    holder(46, "daemon", 'S', Hold::Alive, {{{47, "z"}, sec}});
	unread.sigchld.reset();
	unread.init.reset();
	unread.main_exited = true;
	unread.threads = 3;
	scan.parents = {init, nested, outside, gone, unread};

	std::string text = flat(scan_text(scan, 78));
	auto has = [&](const std::string &s) {
		EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
	};
	has("\nPID 1 (sleep), sleeping (S), holds 1 zombie: 7 (sh)\n"
	    "         Zombie 7 started 30.0s ago; when it ended is not "
	    "recorded. PID 1 is the init of this PID namespace: orphans come "
	    "to it, and no other process may collect its children, but it is "
	    "not collecting this one. It leaves SIGCHLD at its default, which "
	    "discards the signal: it is not told when a child ends, and must "
	    "call wait of its own accord. Check it with zombie-watch "
	    "--check-reaper, and run an init that collects its children, such "
	    "as tini or dumb-init (docker run --init).\n");
	has("\nparent 5000 (pid1), sleeping (S), holds 1 zombie: 5001 (x)\n"
	    "         Zombie 5001 started 1.0s ago; when it ended is not "
	    "recorded. Parent 5000 is the init of a PID namespace below this "
	    "one (PID 1 there): orphans come to it,");
	has("Check it with zombie-watch --check-reaper run inside that "
	    "namespace, and run an init");
	has("\na parent outside this PID namespace holds 1 zombie: 9 (y)\n"
	    "         Zombie 9 started 1.0s ago; when it ended is not "
	    "recorded. Its parent is in a PID namespace above this one, where "
	    "this scan cannot see it; scan there to know why.\n");
	has("\nparent 44, which could not be read, holds 1 zombie: 45 (z)\n"
	    "         Zombie 45 started 1.0s ago; when it ended is not "
	    "recorded. Parent 44 may have just ended, which hands on its "
	    "zombie; scan again.\n");
	has("\nparent 46 (daemon), main thread exited, 2 threads run, holds 1 "
	    "zombie: 47 (z)\n         Zombie 47 started 1.0s ago; when it "
	    "ended is not recorded. Parent 46 is alive and has not collected "
	    "it with wait. Its handling of SIGCHLD could not be read. Parent "
	    "46 "
	    "has 3 threads:");
	has("ending parent 46 hands it to the init of its PID namespace.\n");
}

TEST(Scan, LongListsAreCutAndReasonsFitTheWidth)
{
	Scan scan;
	std::vector<ScanZombie> many;
	for (pid_t pid = 100; pid < 112; pid++)
		many.push_back({{pid, "worker"}, 99 * sec});
	ScanParent p = holder(42, "server", 'S', Hold::Alive, many);
	for (pid_t pid = 30; pid > 22; pid--)
		p.ancestors.push_back({pid, "sh"});
	scan.parents = {p};

	std::string text = scan_text(scan, 40);
	EXPECT_NE(text.find(": 100 (worker), 101 (worker), 102 (worker), "
			    "103 (worker), 104 (worker), 105 (worker), 106 "
			    "(worker), 107 (worker) and 4 more\n"),
	    std::string::npos)
	    << text;
	EXPECT_NE(flat(text).find("between it and the init: 30 (sh), 29 (sh), "
				  "28 (sh), 27 (sh), 26 (sh) and 3 more)"),
	    std::string::npos)
	    << text;
	std::istringstream in(text);
	std::string line;
	for (int i = 0; std::getline(in, line); i++)
		if (i > 1) {
			EXPECT_LE(line.size(), 40U) << line;
		}

	/* The JSON names every one. */
	std::string json = scan_json(scan);
	EXPECT_NE(json.find("{\"pid\":111,\"comm\":\"worker\",\"started_ago\":"
			    "99.000}"),
	    std::string::npos)
	    << json;
}

TEST(Scan, JsonCarriesTheEvidenceAndEscapesAnyName)
{
	Scan scan;
	ScanParent p = holder(
	    7, "a\"b\\c\n\x01\xff", 't', Hold::Traced, {{{8, "é"}, 1500000}});
	p.sigchld = Sigchld::Caught;
	p.blocked = true;
	p.tracer = Named{6, "gdb"};
	p.ancestors = {{5, "sh"}};
	ScanParent outside = holder(0, "", 0, Hold::Outside, {{{9, "y"}, 0}});
	outside.sigchld.reset();
	outside.init.reset();
	scan.parents = {p, outside};
	scan.leaders = {ScanLeader{Named{60, "java"}, 59, 2}};
	EXPECT_NE(flat(scan_text(scan, 78))
		      .find("It blocks SIGCHLD, for which it has a handler: "
			    "the signal stays pending, and the handler runs "
			    "once it is unblocked."),
	    std::string::npos);

	EXPECT_EQ(scan_json(scan),
	    "{\"schema\":1,\"zombies\":2,\"hidden_by\":null,\"parents\":["
	    "{\"pid\":7,\"comm\":\"a\\\"b\\\\c\\n\\u0001\\u00ff\","
	    "\"hold\":\"traced\",\"state\":\"t\",\"threads\":1,"
	    "\"main_exited\":false,\"nested\":false,\"sigchld\":\"caught\","
	    "\"sigchld_blocked\":true,\"tracer\":{\"pid\":6,\"comm\":\"gdb\"},"
	    "\"zombies\":[{\"pid\":8,\"comm\":\"é\",\"started_ago\":0.002}],"
	    "\"ancestors\":[{\"pid\":5,\"comm\":\"sh\"}],"
	    "\"init\":{\"pid\":1,\"comm\":\"systemd\"}},"
	    "{\"pid\":null,\"comm\":null,\"hold\":\"outside\",\"state\":null,"
	    "\"threads\":null,\"main_exited\":false,\"nested\":false,"
	    "\"sigchld\":null,\"sigchld_blocked\":null,\"tracer\":null,"
	    "\"zombies\":[{\"pid\":9,\"comm\":\"y\",\"started_ago\":0.000}],"
	    "\"ancestors\":[],\"init\":null}],"
	    "\"not_zombies\":[{\"pid\":60,\"comm\":\"java\",\"ppid\":59,"
	    "\"threads\":2}]}\n");
}

/* Whoever named a process, the scan's reader sees text, not commands. */
TEST(Scan, NamesAreShownEscapedInTheText)
{
	Scan scan;
	ScanParent p =
	    holder(7, hostile_name, 'S', Hold::Alive, {{{8, hostile_name}, 0}});
	p.ancestors = {{5, hostile_name}};
	p.init = Named{1, hostile_name};
	scan.parents = {p,
	    holder(1, hostile_name, 'S', Hold::Init, {{{9, hostile_name}, 0}})};
	scan.leaders = {ScanLeader{Named{60, hostile_name}, 59, 2}};
	std::string text = scan_text(scan, 78);
	std::string shown = hostile_shown;

	EXPECT_EQ(obeyed(text), "");
	EXPECT_NE(
	    text.find("\nparent 7 (" + shown +
		      "), sleeping (S), holds 1 zombie: 8 (" + shown + ")\n"),
	    std::string::npos)
	    << text;
	EXPECT_NE(
	    text.find("\nPID 1 (" + shown +
		      "), sleeping (S), holds 1 zombie: 9 (" + shown + ")\n"),
	    std::string::npos)
	    << text;
	EXPECT_NE(text.find("\nprocess 60 (" + shown + ") is not a zombie"),
	    std::string::npos)
	    << text;
	EXPECT_NE(flat(text).find(
		      "5 (" + shown + ")), else to PID 1 (" + shown + ")."),
	    std::string::npos)
	    << text;
}

TEST(Json, StringsAreValidWhateverTheBytes)
{
	EXPECT_EQ(json_string(""), "\"\"");
	EXPECT_EQ(
	    json_string("tab\there\r\x7f"), "\"tab\\there\\u000d\\u007f\"");
	/* Valid UTF-8 is kept, in two, three and four bytes. */
	EXPECT_EQ(json_string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\x80"),
	    "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\x80\"");
	/* Cut short, overlong, a surrogate, past U+10FFFF, a lone follower. */
	EXPECT_EQ(json_string("\xe2\x82"), "\"\\u00e2\\u0082\"");
	EXPECT_EQ(json_string("\xc0\xaf"), "\"\\u00c0\\u00af\"");
	EXPECT_EQ(json_string("\xe0\x80\xaf"), "\"\\u00e0\\u0080\\u00af\"");
	EXPECT_EQ(json_string("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
	EXPECT_EQ(json_string("\xf4\x90\x80\x80"),
	    "\"\\u00f4\\u0090\\u0080\\u0080\"");
	EXPECT_EQ(json_string("\x80z"), "\"\\u0080z\"");
	/* C1 controls, valid yet obeyed by terminals; not U+00A0 after. */
	EXPECT_EQ(json_string("\xc2\x80\xc2\x9b"
			      "2J\xc2\x9f\xc2\xa0"),
	    "\"\\u0080\\u009b2J\\u009f\xc2\xa0\"");
	/* A name cut at 15 bytes in the middle of a character. */
	EXPECT_EQ(json_string(std::string("ab\xc3", 3) + std::string(1, '\0')),
	    "\"ab\\u00c3\\u0000\"");
}
