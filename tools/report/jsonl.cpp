// SPDX-License-Identifier: BSD-2-Clause
/*
 * The event log as JSON Lines, from the log alone: what the narration tells
 * a learner, as facts a tool can take without parsing a sentence.
 */

#include "report/jsonl.h"

#include <signal.h>
#include <string.h> /* sigabbrev_np */
#include <sys/wait.h>

#include <string>

#include "core/facts.h"
#include "report/json.h"
#include "report/words.h"

/* A line of the log: its type, then the run it belongs to. */
static JsonObject
log_line(std::string_view type, std::string_view run)
{
	JsonObject o;
	o.text("type", type).text("run", run);
	return o;
}

static const char *
role_name(Role role)
{
	switch (role) {
	case Role::Program:
		return "program";
	case Role::Child:
		return "child";
	case Role::Watcher:
		return "watcher";
	case Role::Outsider:
		break;
	}
	return "outsider";
}

static std::string
comm_of(const Process &p)
{
	return p.comm.empty() ? "null" : json_string(p.comm);
}

/* Another process an event names: enough to tell PID 1 (init) apart. */
static std::string
proc_json(const Log &log, const std::optional<ProcId> &id)
{
	if (!id)
		return "null";
	const Process &p = log.proc(*id);
	return JsonObject()
	    .number("pid", p.pid)
	    .text("role", role_name(p.role))
	    .raw("comm", comm_of(p))
	    .done();
}

static std::string
signal_name(int sig)
{
	const char *abbrev = sigabbrev_np(sig);

	return abbrev != nullptr ? json_string(std::string("SIG") + abbrev)
				 : "null";
}

/* A wait status as facts: {"exited":0}, or the signal that ended it. */
static std::string
status_json(const std::optional<int> &status)
{
	if (!status)
		return "null";
	int s = *status;
	if (WIFEXITED(s))
		return JsonObject().number("exited", WEXITSTATUS(s)).done();
	if (!WIFSIGNALED(s))
		return "null";
	return JsonObject()
	    .number("signal", WTERMSIG(s))
	    .raw("name", signal_name(WTERMSIG(s)))
	    .flag("core", WCOREDUMP(s))
	    .done();
}

static const char *
guess_code(Guess guess)
{
	switch (guess) {
	case Guess::NoFaults:
		return "\"no_faults\"";
	case Guess::Unread:
		return "\"unread\"";
	case Guess::NoCount:
		return "\"no_count\"";
	case Guess::WaitOrRelease:
		return "\"wait_or_released\"";
	case Guess::Mixed:
		return "\"mixed\"";
	case Guess::None:
		break;
	}
	return "null";
}

/* The keys every event about one process starts with. */
static JsonObject
event_object(
    const Log &log, size_t i, std::string_view type, std::string_view run)
{
	const Event &e = log.events()[i];
	const Process &p = log.proc(e.proc);
	JsonObject o = log_line(type, run);

	/* The first line of a run says which schema the rest is in. */
	if (e.what == What::Started)
		o.number("schema", json_schema);
	return o.seconds("t", e.t)
	    .number("pid", p.pid)
	    .text("role", role_name(p.role))
	    .raw("comm", comm_of(p))
	    .flag("observed", e.observed);
}

/* The status as the collector got it: the end's, if only that knew it. */
static std::optional<int>
collected_status(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	const std::optional<Index> &end = log.proc(e.proc).ended;

	if (e.status || !end || *end >= i)
		return e.status;
	return log.events()[*end].status;
}

static std::string
collected(const Log &log, size_t i, std::string_view run)
{
	const Event &e = log.events()[i];

	return event_object(log, i, "collected", run)
	    .text("how", e.how == How::Wait ? "wait" : "released")
	    .raw("by", proc_json(log, e.other))
	    .raw("status", status_json(collected_status(log, i)))
	    .flag("sigchld_ignored", e.ignores)
	    .raw("inferred", guess_code(e.guess))
	    .flag("at_most", e.late)
	    .line();
}

static std::string
signalled(const Event &e, std::string_view run)
{
	bool passed = !e.from_terminal && e.count > 0;
	int sent = e.sent != 0 ? e.sent : e.signo;

	return log_line("signalled", run)
	    .seconds("t", e.t)
	    .number("signal", e.signo)
	    .raw("name", signal_name(e.signo))
	    .flag("from_terminal", e.from_terminal)
	    .raw("sent", passed ? std::to_string(sent) : "null")
	    .number("processes", passed ? e.count : 0)
	    .line();
}

static std::string
state_letter(char state)
{
	return state == 0 ? "null" : json_string(std::string(1, state));
}

static std::string
look_json(const Log &log, const Look &l)
{
	const Process &p = log.proc(l.proc);

	return JsonObject()
	    .number("pid", p.pid)
	    .text("role", role_name(p.role))
	    .number("ppid", l.ppid)
	    .raw("state", state_letter(l.state))
	    .flag("main_exited", l.main_exited)
	    .number("threads", l.threads)
	    .done();
}

static std::string
states(const Log &log, const Event &e, std::string_view run)
{
	const Snapshot &s = log.snapshot(e.snapshot);
	JsonArray looks;

	for (const Look &l : s.looks)
		looks.raw(look_json(log, l));
	return log_line("states", run)
	    .seconds("t", e.t)
	    .raw("processes", looks.done())
	    .number("adopted", s.adopted)
	    .line();
}

std::string
json_event(const Log &log, size_t i, std::string_view run)
{
	const Event &e = log.events()[i];

	switch (e.what) {
	case What::Started:
		return event_object(log, i, "started", run)
		    .raw("by", proc_json(log, e.other))
		    .flag("already_running", e.before)
		    .line();
	case What::Created:
		return event_object(log, i, "created", run)
		    .raw("by", proc_json(log, e.by))
		    .raw("parent", proc_json(log, e.other))
		    .flag("already_running", e.before)
		    .line();
	case What::MainExited:
		return event_object(log, i, "main_exited", run)
		    .number("threads", e.count)
		    .line();
	case What::Ended:
		return event_object(log, i, "ended", run)
		    .raw("parent", proc_json(log, e.other))
		    .raw("status", status_json(e.status))
		    .flag("zombie", e.zombie)
		    .flag("before_watch", e.before)
		    .line();
	case What::Orphaned:
		return event_object(log, i, "orphaned", run)
		    .raw("to", proc_json(log, e.other))
		    .raw("state", state_letter(e.state))
		    .line();
	case What::Collected:
		return collected(log, i, run);
	case What::Unfollowed:
		return event_object(log, i, "unfollowed", run).line();
	case What::Unrecorded:
		return event_object(log, i, "unrecorded", run).line();
	case What::Exec:
		return event_object(log, i, "thread_exec", run)
		    .text("program", e.comm)
		    .line();
	case What::Signalled:
		return signalled(e, run);
	case What::Lost:
		return log_line("lost", run)
		    .seconds("t", e.t)
		    .number("records", e.count)
		    .flag("at_least", e.at_least)
		    .seconds("from", e.since)
		    .line();
	case What::States:
		return states(log, e, run);
	case What::Sample:
		break;
	}
	return "";
}

/*
 * From one event of a process to another, or on still: "to" is null.  One
 * that began before the watch began has no known start: "from" is null,
 * and "for" the least it lasted, from the watch's start.
 */
static std::string
span(const Log &log, pid_t pid, const Event &start,
    const std::optional<Index> &to)
{
	JsonObject o;
	Nanos from = start.before ? 0 : start.t;
	o.number("pid", pid);
	if (start.before)
		o.raw("from", "null");
	else
		o.seconds("from", from);
	if (!to)
		return o.raw("to", "null")
		    .raw("for", "null")
		    .flag("at_most", false)
		    .flag("before_watch", start.before)
		    .done();
	const Event &e = log.events()[*to];
	return o.seconds("to", e.t)
	    .seconds("for", as_told(e.t) - as_told(from))
	    .flag("at_most", e.late)
	    .flag("before_watch", start.before)
	    .done();
}

std::string
json_summary(const Log &log, std::string_view run)
{
	JsonArray zombies, released, threads;
	int processes = 0;
	int children = 0;

	for (const Process &p : log.procs()) {
		processes += p.role == Role::Program || p.role == Role::Child;
		if (p.role != Role::Child)
			continue;
		children++;
		if (p.main_exited)
			threads.raw(span(
			    log, p.pid, log.events()[*p.main_exited], p.ended));
		if (p.ended && released_at_end(log, p))
			released.number(p.pid);
		else if (p.ended)
			zombies.raw(span(
			    log, p.pid, log.events()[*p.ended], p.collected));
	}
	return log_line("summary", run)
	    .number("processes", processes)
	    .number("children", children)
	    .raw("zombies", zombies.done())
	    .raw("released", released.done())
	    .raw("main_exited", threads.done())
	    .line();
}

static const char *
outcome_name(Outcome o)
{
	switch (o) {
	case Outcome::Collected:
		return "collected";
	case Outcome::Released:
		return "released";
	case Outcome::NotCollected:
		return "not_collected";
	case Outcome::Running:
		return "running";
	case Outcome::Unfollowed:
		break;
	}
	return "unfollowed";
}

std::string
json_verdicts(
    const Log &log, const std::vector<Verdict> &v, std::string_view run)
{
	std::string out;

	for (const Verdict &x : v)
		out +=
		    log_line("verdict", run)
			.number("pid", log.proc(x.orphan).pid)
			.text("outcome", outcome_name(x.outcome))
			.raw("reaper", proc_json(log, x.reaper))
			.raw("collector", proc_json(log, x.collector))
			.raw("delay", x.delay ? json_seconds(*x.delay) : "null")
			.text(
			    "since", x.zombie_at_handover ? "handover" : "end")
			.flag("at_most", x.at_most)
			.raw("inferred", guess_code(x.guess))
			.line();
	return out;
}

std::string
json_leaks(const Log &log, const LeakCheck &c, Nanos limit, const ExitFacts &f,
    std::string_view run)
{
	JsonArray leaks;
	ExitStatus answer = leaks_answer(f);

	for (const Leak &l : c.leaks)
		leaks.raw(JsonObject()
			      .number("pid", log.proc(l.child).pid)
			      .number("parent", log.proc(l.parent).pid)
			      .seconds("held", l.held)
			      .flag("at_most", l.at_most)
			      .flag("left", l.left)
			      .flag("open", l.open)
			      .done());
	return log_line("leaks", run)
	    .seconds("limit", limit)
	    .text("verdict", answer == ExitStatus::Zombie      ? "leaked"
			     : answer == ExitStatus::Unchecked ? "unchecked"
							       : "none")
	    .raw("leaks", leaks.done())
	    .number("unjudged", (long long)c.unjudged)
	    .line();
}

static const char *
reason_name(EndReason reason)
{
	switch (reason) {
	case EndReason::Done:
		return "done";
	case EndReason::Usage:
		return "usage";
	case EndReason::NotFound:
		return "not_found";
	case EndReason::CannotRun:
		return "cannot_run";
	case EndReason::NoProcess:
		return "no_process";
	case EndReason::Failed:
		return "failed";
	case EndReason::Output:
		return "output";
	case EndReason::Pid1:
		return "pid1";
	case EndReason::Signal:
		break;
	}
	return "signal";
}

std::string
json_end(std::string_view run, int status, std::optional<int> program_status,
    EndReason reason, int signo)
{
	return log_line("end", run)
	    .number("schema", json_schema)
	    .number("status", status)
	    .raw("program", status_json(program_status))
	    .text("reason", reason_name(reason))
	    .raw("signal", signo != 0 ? signal_name(signo) : "null")
	    .line();
}
