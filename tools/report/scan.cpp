// SPDX-License-Identifier: BSD-2-Clause
/*
 * The scan's words and its JSON, from a Scan alone.  Each reason says what
 * the evidence shows and no more: /proc does not show which processes are
 * child subreapers, nor when a zombie ended, and the text says so rather
 * than guess.
 */

#include "report/scan.h"

#include <stdio.h>

#include <algorithm>
#include <string_view>

#include "report/json.h"
#include "report/words.h"

namespace {

constexpr Nanos second = 1'000'000'000;
/* A line names this many zombies; the JSON names them all. */
constexpr size_t most_named = 8;
constexpr size_t most_ancestors = 5;

std::string
plural(size_t n, const char *one, const char *many)
{
	return std::to_string(n) + " " + (n == 1 ? one : many);
}

/* "12.3s", "12m05s", "5h02m", "3d04h": as long ago as ps would put it. */
std::string
ago(Nanos age)
{
	char buf[32];
	long long s = std::max<Nanos>(age, 0) / second;

	if (age < 100 * second)
		(void)snprintf(buf, sizeof(buf), "%.1fs",
		    (double)std::max<Nanos>(age, 0) / (double)second);
	else if (s < 3600)
		(void)snprintf(
		    buf, sizeof(buf), "%lldm%02llds", s / 60, s % 60);
	else if (s < 48LL * 3600)
		(void)snprintf(
		    buf, sizeof(buf), "%lldh%02lldm", s / 3600, s / 60 % 60);
	else
		(void)snprintf(
		    buf, sizeof(buf), "%lldd%02lldh", s / 86400, s / 3600 % 24);
	return buf;
}

std::string
named(const Named &p)
{
	return std::to_string(p.pid) + " (" + visible(p.comm) + ")";
}

/* The parent as its reasons name it, at the start of a sentence or not. */
std::string
who(const ScanParent &p, bool start = false)
{
	if (p.hold == Hold::Init && !p.nested)
		return "PID 1";
	return (start ? "Parent " : "parent ") + std::to_string(p.proc.pid);
}

std::string
heading(const ScanParent &p)
{
	if (p.hold == Hold::Outside)
		return "a parent outside this PID namespace";
	if (p.hold == Hold::Gone)
		return "parent " + std::to_string(p.proc.pid) +
		       ", which could not be read,";
	std::string state =
	    p.main_exited
		? "main thread exited, " + plural((size_t)p.threads - 1,
					       "thread runs", "threads run")
		: state_name(p.state);
	if (p.hold == Hold::Init && !p.nested)
		return "PID 1 (" + visible(p.proc.comm) + "), " + state + ",";
	return "parent " + named(p.proc) + ", " + state + ",";
}

std::string
zombie_list(const ScanParent &p)
{
	std::string s;
	size_t n = std::min(p.zombies.size(), most_named);

	for (size_t i = 0; i < n; i++)
		s += (i > 0 ? ", " : "") + named(p.zombies[i].proc);
	if (p.zombies.size() > n)
		s += " and " + std::to_string(p.zombies.size() - n) + " more";
	return s;
}

std::string
oldest(const ScanParent &p)
{
	if (p.zombies.empty())
		return "";
	const ScanZombie &z = p.zombies.front();
	if (p.zombies.size() == 1)
		return "Zombie " + std::to_string(z.proc.pid) + " started " +
		       ago(z.age) + " ago; when it ended is not recorded. ";
	return "The oldest, " + std::to_string(z.proc.pid) + ", started " +
	       ago(z.age) + " ago; when each ended is not recorded. ";
}

/* One zombie is "it"; more are "them". */
std::string
them(const ScanParent &p)
{
	return p.zombies.size() == 1 ? "it" : "them";
}

std::string
these(const ScanParent &p)
{
	return p.zombies.size() == 1 ? "this one" : "these";
}

std::string
sigchld_reason(const ScanParent &p)
{
	if (!p.sigchld)
		return "Its handling of SIGCHLD could not be read. ";
	std::string blocks =
	    p.threads > 1 ? "Its main thread blocks" : "It blocks";
	switch (*p.sigchld) {
	case Sigchld::Ignored:
		return "It ignores SIGCHLD now, so the kernel releases the "
		       "children that end from now on, but not " +
		       these(p) + ", which ended before. ";
	case Sigchld::Caught:
		if (p.blocked && p.threads > 1)
			return blocks +
			       " SIGCHLD, for which it has a handler: "
			       "another thread that does not block it "
			       "runs the handler; if all block it, the "
			       "signal stays pending until one "
			       "unblocks it. ";
		if (p.blocked)
			return blocks + " SIGCHLD, for which it has a handler: "
					"the signal stays pending, and the "
					"handler runs once it is unblocked. ";
		return "It has a handler for SIGCHLD, so it is told when a "
		       "child ends, yet has not called wait for " +
		       them(p) + ". ";
	case Sigchld::Default:
		break;
	}
	if (p.blocked)
		return blocks +
		       " SIGCHLD, which is at its default: the signal stays "
		       "pending, for sigwait or a signalfd to take, and would "
		       "be discarded once unblocked; either way only a call to "
		       "wait collects a child. ";
	return "It leaves SIGCHLD at its default, which discards the signal: "
	       "it is not told when a child ends, and must call wait of its "
	       "own accord. ";
}

std::string
threads_reason(const ScanParent &p)
{
	if (p.threads <= 1)
		return "";
	return who(p, true) + " has " +
	       plural((size_t)p.threads, "thread", "threads") +
	       ": the end of one thread hands its children to another thread "
	       "of the same process, so the process holds its " +
	       (p.zombies.size() == 1 ? "zombie" : "zombies") +
	       " until its last thread ends. ";
}

std::string
init_name(const ScanParent &p)
{
	if (!p.init)
		return "the init of its PID namespace";
	if (p.nested)
		return named(*p.init) + ", the init of its PID namespace";
	return "PID 1 (" + visible(p.init->comm) + ")";
}

/* The kernel's order of adoption, as far as /proc lets it be known. */
std::string
reaper(const ScanParent &p)
{
	if (p.ancestors.empty())
		return init_name(p);
	std::string s = "its nearest ancestor that is a child subreaper, if "
			"any (the kernel does not show which are; between "
			"it and the init: ";
	size_t n = std::min(p.ancestors.size(), most_ancestors);
	for (size_t i = 0; i < n; i++)
		s += (i > 0 ? ", " : "") + named(p.ancestors[i]);
	if (p.ancestors.size() > n)
		s += " and " + std::to_string(p.ancestors.size() - n) + " more";
	return s + "), else to " + init_name(p);
}

std::string
why_alive(const ScanParent &p)
{
	std::string s = who(p, true), why;
	if (p.hold == Hold::Stopped)
		why = s + " is stopped, so it cannot collect " + them(p) +
		      " until it is sent SIGCONT. ";
	else if (p.hold == Hold::Traced)
		why = s + " is stopped by its tracer" +
		      (p.tracer ? " " + named(*p.tracer) : std::string()) +
		      ", so it cannot collect " + them(p) +
		      " until the tracer lets it run again. ";
	else
		why = s + " is alive and has not collected " + them(p) +
		      " with wait. ";
	return why + sigchld_reason(p) + threads_reason(p) + s +
	       " must call wait; ending " + who(p) + " hands " + them(p) +
	       " to " + reaper(p) + ".";
}

std::string
why_init(const ScanParent &p)
{
	std::string s = who(p, true);
	std::string where = p.nested ? "the init of a PID namespace below "
				       "this one (PID 1 there)"
				     : "the init of this PID namespace";
	return s + " is " + where +
	       ": orphans come to it, and no other process may collect its "
	       "children, but it is not collecting " +
	       these(p) + ". " + sigchld_reason(p) +
	       "Check it with zombie-watch --check-reaper" +
	       (p.nested ? " run inside that namespace" : "") +
	       ", and run an init that collects its children, such as tini "
	       "or dumb-init (docker run --init).";
}

std::string
reasons(const ScanParent &p)
{
	switch (p.hold) {
	case Hold::Init:
		return oldest(p) + why_init(p);
	case Hold::Outside:
		return oldest(p) +
		       std::string(p.zombies.size() == 1 ? "Its" : "Their") +
		       " parent is in a PID namespace above this one, "
		       "where this scan cannot see it; scan there to know "
		       "why.";
	case Hold::Gone:
		return oldest(p) + who(p, true) +
		       " may have just ended, which hands on its " +
		       (p.zombies.size() == 1 ? "zombie" : "zombies") +
		       "; scan again.";
	default:
		return oldest(p) + why_alive(p);
	}
}

std::string
leader_text(const ScanLeader &l, int width)
{
	return "process " + named(l.proc) +
	       " is not a zombie: its main thread exited, " +
	       plural((size_t)l.threads, "thread still runs",
		   "threads still run") +
	       "\n" +
	       fold("ps shows it as Zl. It ends when its last thread does; "
		    "only then can it become a zombie of its parent, " +
			std::to_string(l.ppid) + ".",
		   width);
}

std::string
json_named(const Named &p)
{
	return JsonObject().number("pid", p.pid).text("comm", p.comm).done();
}

std::string
json_list(const std::vector<Named> &v)
{
	JsonArray a;

	for (const Named &p : v)
		a.raw(json_named(p));
	return a.done();
}

const char *
hold_word(Hold h)
{
	switch (h) {
	case Hold::Alive:
		return "alive";
	case Hold::Stopped:
		return "stopped";
	case Hold::Traced:
		return "traced";
	case Hold::Init:
		return "init";
	case Hold::Outside:
		return "outside";
	case Hold::Gone:
		return "gone";
	}
	return "";
}

const char *
sigchld_word(Sigchld s)
{
	switch (s) {
	case Sigchld::Caught:
		return "caught";
	case Sigchld::Ignored:
		return "ignored";
	case Sigchld::Default:
		break;
	}
	return "default";
}

std::string
json_zombies(const ScanParent &p)
{
	JsonArray a;

	for (const ScanZombie &z : p.zombies)
		a.raw(JsonObject()
			  .number("pid", z.proc.pid)
			  .text("comm", z.proc.comm)
			  .seconds("started_ago", z.age)
			  .done());
	return a.done();
}

std::string
json_parent(const ScanParent &p)
{
	bool seen = p.hold != Hold::Outside && p.hold != Hold::Gone;
	JsonObject o;

	o.raw("pid",
	     p.hold == Hold::Outside ? "null" : std::to_string(p.proc.pid))
	    .raw("comm", seen ? json_string(p.proc.comm) : "null")
	    .text("hold", hold_word(p.hold))
	    .raw("state", seen ? json_string(std::string(1, p.state)) : "null")
	    .raw("threads", seen ? std::to_string(p.threads) : "null")
	    .flag("main_exited", p.main_exited)
	    .flag("nested", p.nested);
	if (p.sigchld)
		o.text("sigchld", sigchld_word(*p.sigchld))
		    .flag("sigchld_blocked", p.blocked);
	else
		o.raw("sigchld", "null").raw("sigchld_blocked", "null");
	return o.raw("tracer", p.tracer ? json_named(*p.tracer) : "null")
	    .raw("zombies", json_zombies(p))
	    .raw("ancestors", json_list(p.ancestors))
	    .raw("init", p.init ? json_named(*p.init) : "null")
	    .done();
}

} // namespace

std::string
scan_text(const Scan &scan, int width)
{
	size_t n = zombie_count(scan);
	const char *where = scan.hidden_by
				? " among the processes this user can see"
				: " in this PID namespace";
	std::string out =
	    n == 0
		? std::string("no zombie") + where + "\n"
		: plural(n, "zombie", "zombies") + where + ", under " +
		      plural(scan.parents.size(), "parent", "parents") + "\n";

	if (scan.hidden_by)
		out +=
		    fold("/proc is mounted with " + visible(*scan.hidden_by) +
			     ": other users' processes, and their zombies, "
			     "cannot be seen; run as root to see them all.",
			width);

	for (const ScanParent &p : scan.parents)
		out += heading(p) + " holds " +
		       plural(p.zombies.size(), "zombie", "zombies") + ": " +
		       zombie_list(p) + "\n" + fold(reasons(p), width);
	for (const ScanLeader &l : scan.leaders)
		out += leader_text(l, width);
	return out;
}

std::string
zombie_text(const ScanParent &p, pid_t zombie, int width)
{
	ScanParent one = p;
	one.zombies.erase(
	    std::remove_if(one.zombies.begin(), one.zombies.end(),
		[zombie](const ScanZombie &z) { return z.proc.pid != zombie; }),
	    one.zombies.end());
	if (one.zombies.empty())
		return "";
	return "process " + named(one.zombies[0].proc) +
	       " is a zombie already: it has ended, and " + heading(one) +
	       " holds it\n" + fold(reasons(one), width);
}

/* The schema first, as on the first line of a watch. */
std::string
scan_json(const Scan &scan)
{
	JsonArray parents;
	JsonArray leaders;

	for (const ScanParent &p : scan.parents)
		parents.raw(json_parent(p));
	for (const ScanLeader &l : scan.leaders)
		leaders.raw(JsonObject()
				.number("pid", l.proc.pid)
				.text("comm", l.proc.comm)
				.number("ppid", l.ppid)
				.number("threads", l.threads)
				.done());
	return JsonObject()
	    .number("schema", json_schema)
	    .number("zombies", (long long)zombie_count(scan))
	    .raw("hidden_by", scan.hidden_by ? json_string(*scan.hidden_by)
					     : std::string("null"))
	    .raw("parents", parents.done())
	    .raw("not_zombies", leaders.done())
	    .line();
}
