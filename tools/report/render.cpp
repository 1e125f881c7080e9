// SPDX-License-Identifier: BSD-2-Clause
/*
 * Every line the watcher prints, from the event log and the style alone:
 * the same log always prints the same text, so what a learner saw live can
 * be printed again, and checked, from a log made by hand.
 */

#include "report/render.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h> /* sigabbrev_np */
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr Nanos second = 1'000'000'000;
/* Reasons sit under their line's text, past its stamp. */
constexpr size_t reason_indent = 9;
/* Narrower terminals still get words, not a letter a line. */
constexpr int narrowest = 20;
constexpr int most_columns = 72;
/* 21,000 processes would print 21,000 rows that no one reads. */
constexpr size_t most_rows = 40;

/* A paragraph of the story: its line, and the reason folded under it. */
struct Paragraph {
	std::string line;
	std::string why;
};

/* One letter over a stretch of a timeline row. */
struct Stretch {
	Nanos from;
	Nanos to;
	char letter;
};

struct Sample {
	Nanos t;
	char state;
};

} // namespace

static std::string format(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

/* printf-style by design: the format attribute checks every call. */
static std::string
format(const char *fmt, ...) // NOLINT(cert-dcl50-cpp)
{
	va_list ap;
	va_list again;

	va_start(ap, fmt);
	va_copy(again, ap);
	/* va_start above: the analyser loses track of it (a false alarm). */
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	int n = vsnprintf(nullptr, 0, fmt, ap);
	va_end(ap);
	std::string s(n > 0 ? (size_t)n : 0, '\0');
	if (n > 0)
		(void)vsnprintf(s.data(), s.size() + 1, fmt, again);
	va_end(again);
	return s;
}

static std::string
secs(Nanos t)
{
	return format("%.3fs", (double)t / (double)second);
}

static std::string
stamp(Nanos t)
{
	return format("[%5.1fs] ", (double)t / (double)second);
}

static std::string
plural(int n, const char *one, const char *many)
{
	return format("%d %s", n, n == 1 ? one : many);
}

/* An index is known at event i only if it came before i. */
static std::optional<Index>
before(const std::optional<Index> &j, size_t i)
{
	return j && *j < i ? j : std::nullopt;
}

const char *
state_name(char state)
{
	switch (state) {
	case 0:
		return "gone";
	case 'R':
		return "running (R)";
	case 'S':
		return "sleeping (S)";
	case 'D':
		return "in uninterruptible sleep (D)";
	case 'Z':
		return "zombie (Z)";
	case 'T':
		return "stopped (T)";
	case 't':
		return "stopped by a tracer (t)";
	case 'I':
		return "idle (I)";
	default:
		return "in another state";
	}
}

/* "SIGTERM", or the number alone for a signal glibc has no name for. */
static std::string
signal_text(int sig)
{
	const char *abbrev = sigabbrev_np(sig);

	return abbrev != nullptr ? format("SIG%s", abbrev)
				 : format("signal %d", sig);
}

std::string
describe_status(const std::optional<int> &status)
{
	if (!status)
		return "ended";
	int s = *status;
	if (WIFEXITED(s))
		return format("exited with status %d", WEXITSTATUS(s));
	if (!WIFSIGNALED(s))
		return "ended";
	int sig = WTERMSIG(s);
	const char *abbrev = sigabbrev_np(sig);
	/* A learner meets the signal again as $?, where shells add 128. */
	return abbrev != nullptr
		   ? format("was killed by signal %d (SIG%s; a shell shows %d)",
			 sig, abbrev, 128 + sig)
		   : format("was killed by signal %d (a shell shows %d)", sig,
			 128 + sig);
}

std::string
label(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);

	switch (p.role) {
	case Role::Program:
		return format("parent %d", (int)p.pid);
	case Role::Child:
		return format("child %d", (int)p.pid);
	case Role::Watcher:
		return format("zombie-watch (%d)", (int)p.pid);
	case Role::Outsider:
		break;
	}
	if (p.comm.empty())
		return format("PID %d", (int)p.pid);
	return format("PID %d (", (int)p.pid) + p.comm + ")";
}

static std::string
label_or(const Log &log, const std::optional<ProcId> &id, const char *none)
{
	return id ? label(log, *id) : std::string(none);
}

static bool
is_watcher(const Log &log, const std::optional<ProcId> &id)
{
	return id && log.proc(*id).role == Role::Watcher;
}

/* The parent a process had last: the one it was orphaned to, if later. */
static std::optional<ProcId>
last_parent(const Log &log, const Process &p)
{
	std::optional<Index> i = p.ended;

	if (p.orphaned && (!i || *p.orphaned > *i))
		i = p.orphaned;
	return i ? log.events()[*i].other : std::nullopt;
}

/*
 * Released as it passed to its new parent, a zombie already: not released
 * as it ended, which it may do later under a parent that ignores SIGCHLD.
 */
static bool
released_at_handover(const Process &p, size_t limit)
{
	std::optional<Index> orphaned = before(p.orphaned, limit);
	std::optional<Index> ended = before(p.ended, limit);

	return orphaned && (!ended || *ended < *orphaned);
}

static bool
released_at_end(const Log &log, const Process &p)
{
	return p.collected && log.events()[*p.collected].how == How::Released &&
	       !released_at_handover(p, *p.collected);
}

static std::string_view
skip_blanks(std::string_view s)
{
	size_t n = s.find_first_not_of(' ');

	return n == std::string_view::npos ? std::string_view() : s.substr(n);
}

/* Whole words a line; a word longer than a line is cut, not looped over. */
static std::string
fold_one(std::string_view text, int width)
{
	size_t room = (size_t)std::max(width, narrowest) - reason_indent;
	std::string out;

	for (text = skip_blanks(text); !text.empty();
	     text = skip_blanks(text)) {
		size_t cut = text.size();
		if (cut > room) {
			cut = text.rfind(' ', room);
			if (cut == std::string_view::npos || cut == 0)
				cut = room;
		}
		out.append(reason_indent, ' ');
		out.append(text.substr(0, cut));
		out += '\n';
		text.remove_prefix(cut);
	}
	return out;
}

/* A lesson of its own starts on a line of its own, after a newline. */
std::string
fold(std::string_view text, int width)
{
	std::string out;

	for (size_t nl = text.find('\n'); nl != std::string_view::npos;
	     nl = text.find('\n')) {
		out += fold_one(text.substr(0, nl), width);
		text.remove_prefix(nl + 1);
	}
	return out + fold_one(text, width);
}

static Paragraph
started(const Log &log, const Event &e)
{
	const Process &p = log.proc(e.proc);
	std::string watcher = label_or(log, e.other, "zombie-watch");

	if (e.before)
		return {watcher + " follows " + label(log, e.proc) +
			    (p.comm.empty() ? "" : " (" + p.comm + ")") +
			    ", already running",
		    "It only observes: it collects nothing and signals "
		    "nothing, and tells what this process and its "
		    "descendants do from now on."};
	std::string line = watcher + " started ";

	if (!p.comm.empty())
		line += p.comm + " as ";
	return {line + format("process %d", (int)p.pid), ""};
}

static Paragraph
found(const Log &log, const Event &e)
{
	std::string line = label(log, e.proc) + " was found orphaned";

	if (!e.other)
		return {line, "Its parent ended before it was seen."};
	std::string to = label(log, *e.other);
	return {line + ", passes to " + to,
	    "Its parent ended before it was seen, so the kernel handed it to " +
		(is_watcher(log, e.other)
			? "the nearest subreaper, zombie-watch"
			: to) +
		"."};
}

static Paragraph
created(const Log &log, const Event &e)
{
	if (e.before)
		return {
		    label(log, e.proc) +
			(e.other ? format(" of %d", (int)log.proc(*e.other).pid)
				 : "") +
			(e.zombie ? " was already there, a zombie (Z)"
				  : " was already running"),
		    "It was there when zombie-watch began to follow the tree, "
		    "which found it in /proc."};
	if (!e.by)
		return found(log, e);
	std::string line = label(log, *e.by) + " created " + label(log, e.proc);
	if (e.other && *e.other != *e.by)
		return {line + ", whose parent is " + label(log, *e.other),
		    "It was created with CLONE_PARENT, so its parent is its "
		    "creator's parent, which alone may collect it."};
	return {line, "Its parent forked it: a copy of the parent with a "
		      "process ID of its own, which runs on by itself."};
}

static Paragraph
main_exited(const Log &log, const Event &e)
{
	return {label(log, e.proc) + "'s main thread exited; " +
		    plural(e.count, "thread still runs", "threads still run"),
	    "A process ends only when its last thread does: until then it is "
	    "alive and is not a zombie, though /proc and ps show its state as "
	    "Z (ps: Zl)."};
}

/* What ending by this signal means, before the reason for what follows. */
static std::string
signal_reason(const std::optional<int> &status)
{
	if (!status || !WIFSIGNALED(*status))
		return "";
	int sig = WTERMSIG(*status);
	if (sig == SIGKILL)
		return "SIGKILL ended it: it can be neither caught nor "
		       "ignored. ";
	return signal_text(sig) +
	       " ended it: with no handler to catch it, its default action is "
	       "to end the process" +
	       (WCOREDUMP(*status) ? " and dump core" : "") + ". ";
}

/* Who holds it as it ends: the reaper it went to, if that came first. */
static std::optional<ProcId>
holder(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	std::optional<Index> handed = before(log.proc(e.proc).orphaned, i);

	return handed ? log.events()[*handed].other : e.other;
}

/* Its own end told already, a parent can collect nothing more. */
static bool
ended_before(const Log &log, const std::optional<ProcId> &id, size_t i)
{
	return id && before(log.proc(*id).ended, i);
}

/* A zombie that someone other than the watcher leaves be, for now. */
static bool
lingers(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	std::optional<ProcId> parent = holder(log, i);

	return e.what == What::Ended && e.zombie &&
	       log.proc(e.proc).role == Role::Child &&
	       !is_watcher(log, parent) && !ended_before(log, parent, i);
}

/*
 * What every zombie teaches, told under the first that lingers only: a
 * run of many would bury the story under the same lesson.
 */
static std::string
zombie_lessons(const Log &log, size_t i)
{
	if (!lingers(log, i))
		return "";
	for (size_t j = 0; j < i; j++)
		if (lingers(log, j))
			return "";
	return "\nAs it ended, the kernel sent its parent SIGCHLD. Left at its "
	       "default action, to ignore it, the signal does not even wake a "
	       "sleeping parent. A parent that catches it and calls "
	       "waitpid(-1, &status, WNOHANG) in a loop collects every ended "
	       "child.\nA zombie cannot be killed: it runs no code, so kill -9 "
	       "succeeds and changes nothing. The cure is a parent that waits, "
	       "or ending the parent so that a reaper adopts it. Meanwhile it "
	       "holds its PID, exit status and resource usage, and counts "
	       "against its user's process limit (RLIMIT_NPROC) and its "
	       "container's pids.max: enough zombies stop new processes from "
	       "starting.";
}

static std::string
ended_reason(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	bool handed = before(log.proc(e.proc).orphaned, i).has_value();
	std::optional<ProcId> parent = holder(log, i);
	std::string pid =
	    parent ? format(" %d", (int)log.proc(*parent).pid) : "";

	if (is_watcher(log, parent))
		return handed ? "Its new parent, " + label(log, *parent) +
				    ", collects it at once."
			      : "Its parent is zombie-watch, which collects "
				"it at once.";
	if (!e.zombie)
		return "It was gone, or going, before zombie-watch could look: "
		       "the next line says who collected it.";
	/* The parent is a reaper now: "while the parent lives" is past. */
	if (handed)
		return "Its new parent, " +
		       label_or(log, parent, "its reaper") +
		       ", has not collected it with wait, so the kernel keeps "
		       "its entry and exit status: a zombie.";
	if (ended_before(log, parent, i))
		return "Its parent" + pid +
		       " has ended too, without collecting it, so the kernel "
		       "keeps its entry and exit status, a zombie, for the "
		       "reaper it passes to.";
	return "Its parent" + pid +
	       " has not collected it with wait, so the kernel keeps its entry "
	       "and exit status: a zombie. While the parent lives, only the "
	       "parent may collect it: no init and no subreaper may.";
}

static Paragraph
ended(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	bool child = log.proc(e.proc).role == Role::Child;
	std::string line = label(log, e.proc);

	if (child && e.other)
		line += format(" of %d", (int)log.proc(*e.other).pid);
	line += " " + describe_status(e.status);
	if (e.before)
		return {line + ", a zombie (Z) already when the watch began",
		    "It ended before zombie-watch began to follow the tree, "
		    "and "
		    "/proc does not record when." +
			zombie_lessons(log, i)};
	if (child && e.zombie)
		line += ", now a zombie (Z)";
	return {line, signal_reason(e.status) + ended_reason(log, i) +
			  zombie_lessons(log, i)};
}

static Paragraph
orphaned(const Log &log, const Event &e)
{
	std::string to = label_or(log, e.other, "its new parent");
	std::string line = label(log, e.proc) + ", orphaned";

	if (e.state != 0)
		line += std::string(" and still ") + state_name(e.state);
	return {line + ", passes to " + to,
	    "Its parent has ended, so the kernel hands the orphan on: to "
	    "another live thread of its parent's process, if one still runs, "
	    "else to the nearest child subreaper above it, else to the init "
	    "of its PID namespace (PID 1 only inside that namespace); here "
	    "that is " +
		to +
		(e.state == 'Z' ? "; its new parent may collect it at last"
				: "") +
		"."};
}

static Paragraph
waited(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	const Process &p = log.proc(e.proc);
	std::string by = label_or(log, e.other, "its parent");
	std::optional<int> status = e.status;

	if (!status && before(p.ended, i))
		status = log.events()[*p.ended].status;
	std::string line = by + " collected " + label(log, e.proc) +
			   ", which " + describe_status(status);
	if (before(p.orphaned, i))
		return {line, by + ", its parent now, called wait: it got the "
				   "exit status, and the kernel removed the "
				   "entry."};
	return {line, "Its parent called wait and got its exit status, so the "
		      "kernel removed its entry."};
}

/* Whose SIGCHLD was ignored as the process ended: its parent then. */
static std::string
ignorer(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	std::optional<Index> end = before(log.proc(e.proc).ended, i);
	std::optional<ProcId> parent = end ? log.events()[*end].other : e.other;

	if (!parent)
		return "its parent";
	if (log.proc(*parent).role == Role::Outsider)
		return "its parent " + label(log, *parent);
	return format("its parent %d", (int)log.proc(*parent).pid);
}

static Paragraph
released(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	const Process &p = log.proc(e.proc);
	std::string line = "the kernel released " + label(log, e.proc);

	if (released_at_handover(p, i))
		line += " as it passed to " +
			label_or(log, log.events()[*p.orphaned].other,
			    "its new parent") +
			", which ignores SIGCHLD";
	else if (e.ignores)
		line += " as it ended, since " + ignorer(log, i) +
			" ignores SIGCHLD";
	else
		line += " as it ended";
	return {line,
	    "A parent that ignores SIGCHLD, or sets SA_NOCLDWAIT, has "
	    "the kernel release its children as they end: no one "
	    "calls wait, and they never stay zombies."};
}

static const char *
guess_reason(Guess guess)
{
	switch (guess) {
	case Guess::NoFaults:
		return "it made no page faults of its own, so collecting it "
		       "added nothing to any count.";
	case Guess::Unread:
		return "it was gone before its page faults could be read.";
	case Guess::NoCount:
		return "the collector's count of its children's page faults "
		       "could not be read.";
	case Guess::Mixed:
		return "its collector's count grew for several children at "
		       "once, one of them gone before its page faults could "
		       "be read, so the count cannot tell them apart.";
	case Guess::None:
		break;
	}
	return "";
}

static Paragraph
collected(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	Paragraph p = e.how == How::Wait ? waited(log, i) : released(log, i);

	if (e.guess != Guess::None)
		p.why += std::string(" Who collected it is inferred, not "
				     "measured: ") +
			 guess_reason(e.guess);
	if (e.late)
		p.why += " zombie-watch was behind when it saw this, so it may "
			 "have happened earlier: this is the latest it can "
			 "have been.";
	return p;
}

static std::optional<ProcId>
program_of(const Log &log)
{
	const std::vector<Process> &procs = log.procs();

	for (size_t id = 0; id < procs.size(); id++)
		if (procs[id].role == Role::Program)
			return (ProcId)id;
	return std::nullopt;
}

static Paragraph
signalled(const Log &log, const Event &e)
{
	std::string got = "zombie-watch received " + signal_text(e.signo);
	std::optional<ProcId> program = program_of(log);
	const Process *p = program ? &log.proc(*program) : nullptr;

	if (p != nullptr && p->created && log.events()[*p->created].before)
		return {got + "; it only observes, so it stops here",
		    "Every process it followed is left as it is."};

	if (e.from_terminal)
		return {got +
			    " from the terminal, which sent it to the program "
			    "too",
		    ""};
	if (e.count == 0)
		return {got + "; no process is left to pass it on to", ""};
	return {got + ", sends " + signal_text(e.sent != 0 ? e.sent : e.signo) +
		    " to " + plural(e.count, "process", "processes"),
	    ""};
}

static std::string
look_text(const Log &log, const Look &l)
{
	std::string who = label(log, l.proc);

	if (log.proc(l.proc).role == Role::Child)
		who += format(" of %d", (int)l.ppid);
	if (l.main_exited)
		return who + " main thread exited, " +
		       plural(l.threads, "thread runs", "threads run");
	return who + " " + state_name(l.state);
}

static std::string
adopted_text(int adopted)
{
	if (adopted <= 0)
		return "";
	return ", waiting for " +
	       plural(adopted, "adopted process", "adopted processes");
}

enum : size_t { MAX_LOOKS = 20 };

/* A process shown in D: a state the other words do not explain. */
static bool
shows_d(const Log &log, const Event &e)
{
	if (e.what != What::States)
		return false;
	const std::vector<Look> &looks = log.snapshot(e.snapshot).looks;
	auto end =
	    looks.begin() + (long)std::min<size_t>(looks.size(), MAX_LOOKS);
	return std::any_of(looks.begin(), end,
	    [](const Look &l) { return l.state == 'D' && !l.main_exited; });
}

/* Said the first time only: a parent may sit in D for many a look. */
static std::string
d_reason(const Log &log, size_t i)
{
	if (!shows_d(log, log.events()[i]))
		return "";
	for (size_t j = 0; j < i; j++)
		if (shows_d(log, log.events()[j]))
			return "";
	return "D is an uninterruptible sleep, inside the kernel, that "
	       "signals do not break: as for a disk, or in a parent that "
	       "created its child with vfork, as posix_spawn does, until that "
	       "child execs or exits. Unlike after fork, such a parent does "
	       "not run on beside its child.";
}

static Paragraph
states(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	const Snapshot &s = log.snapshot(e.snapshot);
	std::optional<ProcId> program = program_of(log);
	std::string line;

	if (program && std::none_of(s.looks.begin(), s.looks.end(),
			   [&](const Look &l) { return l.proc == *program; }))
		line = label(log, *program) + " gone" + adopted_text(s.adopted);
	/* As many as a reader takes in; a crowd is counted, not listed. */
	size_t shown = 0;
	for (const Look &l : s.looks) {
		if (shown++ == MAX_LOOKS)
			break;
		if (!line.empty())
			line += ", ";
		line += look_text(log, l);
		if (program && l.proc == *program)
			line += adopted_text(s.adopted);
	}
	if (s.looks.size() > MAX_LOOKS)
		line += format(" and %zu more", s.looks.size() - MAX_LOOKS);
	return {line, d_reason(log, i)};
}

static Paragraph
paragraph(const Log &log, size_t i)
{
	const Event &e = log.events()[i];

	switch (e.what) {
	case What::Started:
		return started(log, e);
	case What::Created:
		return created(log, e);
	case What::MainExited:
		return main_exited(log, e);
	case What::Ended:
		return ended(log, i);
	case What::Orphaned:
		return orphaned(log, e);
	case What::Collected:
		return collected(log, i);
	case What::Signalled:
		return signalled(log, e);
	case What::States:
		return states(log, i);
	case What::Unfollowed:
	case What::Sample:
		break;
	}
	return {};
}

std::string
narrate(const Log &log, size_t i, const Style &style)
{
	Paragraph p = paragraph(log, i);

	if (p.line.empty())
		return "";
	return stamp(log.events()[i].t) + p.line + "\n" +
	       fold(p.why, style.width);
}

static std::string
threads_summary(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);

	if (!p.main_exited)
		return "";
	std::string from = secs(*log.when(p.main_exited));
	if (!p.ended)
		return "summary: " + label(log, id) +
		       " has been no zombie since " + from +
		       ", while its main thread is gone: its other threads "
		       "still run\n";
	return "summary: " + label(log, id) +
	       " was no zombie while its main thread was gone, from " + from +
	       " to " + secs(*log.when(p.ended)) +
	       ": its other threads still ran\n";
}

static std::string
zombie_summary(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);
	std::string who = "summary: " + label(log, id);
	Nanos from = *log.when(p.ended);

	if (released_at_end(log, p))
		return who +
		       " was never a zombie: the kernel released it as it "
		       "ended\n";
	/* Ended before the watch: when is not known, only since when. */
	bool before = log.events()[*p.ended].before;
	std::string since = before ? "before the watch began" : secs(from);
	if (!p.collected)
		return who + " has been a zombie since " + since +
		       ", and still is\n";
	Nanos to = *log.when(p.collected);
	/* Seen late, the end of the span is only a bound. */
	const char *most = log.events()[*p.collected].late ? "at most " : "";
	if (before)
		return who + " was a zombie from before the watch began to " +
		       most + secs(to) + "\n";
	return who + " was a zombie from " + secs(from) + " to " + most +
	       secs(to) + ", for " + most + secs(to - from) + "\n";
}

std::string
summary(const Log &log)
{
	std::string out;
	bool child = false;
	bool zombie = false;

	for (ProcId id = 0; id < log.procs().size(); id++) {
		const Process &p = log.proc(id);
		if (p.role != Role::Child)
			continue;
		child = true;
		out += threads_summary(log, id);
		if (p.ended) {
			zombie = true;
			out += zombie_summary(log, id);
		}
	}
	if (!child)
		return "summary: no child was seen\n";
	if (!zombie)
		out += "summary: no zombie was seen\n";
	return out;
}

Nanos
column_width(Nanos run)
{
	static constexpr std::array<Nanos, 17> widths = {second / 10,
	    second / 5, second / 2, second, 2 * second, 5 * second, 10 * second,
	    30 * second, 60 * second, 300 * second, 600 * second, 1800 * second,
	    3600 * second, 7200 * second, 21600 * second, 43200 * second,
	    86400 * second};

	/* Each width is even in nanoseconds: half a column is exact. */
	for (Nanos w : widths)
		if (run <= w * most_columns + w / 2)
			return w;
	return widths.back();
}

/* Rounded: a run of 60.003 s has 60 columns of a second. */
static int
column_count(Nanos end, Nanos width)
{
	Nanos n = end / width;

	if (end % width * 2 >= width)
		n++;
	return (int)std::clamp<Nanos>(n, 1, most_columns);
}

/*
 * Where each letter held: alive as the samples say, 'z' while its threads
 * outlived its main one, 'Z' from its end until it was collected.
 */
static std::vector<Stretch>
stretches(
    const Log &log, ProcId id, const std::vector<Sample> &samples, Nanos end)
{
	const Process &p = log.proc(id);
	Nanos gone = log.when(p.collected)
			 .value_or(log.when(p.unfollowed).value_or(end));
	Nanos ended = log.when(p.ended).value_or(gone);
	Nanos alive = log.when(p.main_exited).value_or(ended);
	std::vector<Stretch> out;

	if (p.ended && !released_at_end(log, p))
		out.push_back({ended, gone, 'Z'});
	out.push_back({alive, ended, 'z'});
	Nanos from = log.when(p.created).value_or(0);
	char last = 'S';
	for (const Sample &s : samples) {
		out.push_back({from, std::min(s.t, alive), s.state});
		from = s.t;
		last = s.state;
	}
	out.push_back({from, alive, last});
	return out;
}

static Nanos
overlap(Nanos a0, Nanos a1, Nanos b0, Nanos b1)
{
	Nanos lo = std::max(a0, b0);
	Nanos hi = std::min(a1, b1);

	return hi > lo ? hi - lo : 0;
}

/* The letter that held for most of [c0, c1), or '.' if absence did. */
static char
cell(const std::vector<Stretch> &row, Nanos c0, Nanos c1)
{
	std::vector<std::pair<char, Nanos>> held;
	Nanos present = 0;

	for (const Stretch &s : row) {
		Nanos d = overlap(c0, c1, s.from, s.to);
		if (d == 0)
			continue;
		present += d;
		auto it = std::find_if(held.begin(), held.end(),
		    [&](const auto &h) { return h.first == s.letter; });
		if (it == held.end())
			held.emplace_back(s.letter, d);
		else
			it->second += d;
	}
	std::pair<char, Nanos> best('.', 0);
	for (const auto &h : held)
		if (h.second > best.second)
			best = h;
	return c1 - c0 - present > best.second ? '.' : best.first;
}

static std::string
cells(const std::vector<Stretch> &row, int ncols, Nanos width, bool colour)
{
	std::string out;
	char prev = 0;

	for (int c = 0; c < ncols; c++) {
		char ch = cell(row, c * width, (c + 1) * width);
		/* On a terminal the zombie stands out in reverse red. */
		if (colour && ch == 'Z' && prev != 'Z')
			out += "\033[1;7;31m";
		if (colour && ch != 'Z' && prev == 'Z')
			out += "\033[0m";
		out += ch;
		prev = ch;
	}
	if (colour && prev == 'Z')
		out += "\033[0m";
	return out;
}

/* How the row ends: its status, and who collected it, if anyone did. */
static std::string
fate(const Log &log, const Process &p)
{
	if (!p.ended && !p.collected)
		return p.unfollowed ? " could not be followed" : "";
	const Event &end = log.events()[p.ended ? *p.ended : *p.collected];
	std::string out = " " + describe_status(end.status);
	if (!p.collected)
		return out + "; not collected by " +
		       label_or(log, last_parent(log, p), "its parent");
	const Event &c = log.events()[*p.collected];
	if (c.how == How::Released)
		return out + "; released by the kernel";
	return out + "; collected by " + label_or(log, c.other, "its parent");
}

static std::string
ruler(int ncols, Nanos width, size_t indent)
{
	std::string top(indent, ' ');
	std::string marks(indent, ' ');

	for (int c = 0; c <= ncols; c += 10) {
		std::string mark =
		    format("%gs", (double)(c * width) / (double)second);
		if (c + 10 <= ncols) {
			mark.resize(std::max(mark.size(), (size_t)10), ' ');
			marks += "|         ";
		} else
			marks += "|";
		top += mark;
	}
	return top + "\n" + marks + "\n";
}

/* The samples of the rows shown, in one pass over the log. */
static std::vector<std::vector<Sample>>
samples_of(const Log &log, const std::vector<ProcId> &shown)
{
	std::vector<int> row(log.procs().size(), -1);
	std::vector<std::vector<Sample>> out(shown.size());

	for (size_t k = 0; k < shown.size(); k++)
		row[shown[k]] = (int)k;
	for (const Event &e : log.events())
		if (e.what == What::Sample && e.state != 0 &&
		    row.at(e.proc) >= 0)
			out[(size_t)row[e.proc]].push_back({e.t, e.state});
	return out;
}

static std::vector<ProcId>
rows_of(const Log &log, size_t *more)
{
	std::vector<ProcId> shown;

	*more = 0;
	for (ProcId id = 0; id < log.procs().size(); id++) {
		Role role = log.proc(id).role;
		if (role != Role::Program && role != Role::Child)
			continue;
		if (shown.size() < most_rows)
			shown.push_back(id);
		else
			++*more;
	}
	return shown;
}

std::string
timeline(const Log &log, Nanos end, const Style &style)
{
	Nanos width = column_width(end);
	int ncols = column_count(end, width);
	size_t more = 0;
	std::vector<ProcId> shown = rows_of(log, &more);
	std::vector<std::vector<Sample>> samples = samples_of(log, shown);
	size_t indent = 0;
	std::string rows;
	bool threads = false;
	bool stuck = false;

	for (ProcId id : shown)
		indent = std::max(indent, label(log, id).size() + 2);
	for (size_t k = 0; k < shown.size(); k++) {
		std::string name = label(log, shown[k]);
		std::string row =
		    cells(stretches(log, shown[k], samples[k], end), ncols,
			width, style.colour);
		threads = threads || row.find('z') != std::string::npos;
		stuck = stuck || row.find('D') != std::string::npos;
		name.resize(indent, ' ');
		rows += name + row + fate(log, log.proc(shown[k])) + "\n";
	}
	if (more > 0)
		rows += "... and " +
			plural((int)more, "more process", "more processes") +
			"\n";
	return format("timeline: one column is %gs; S sleeping, R running, Z "
		      "zombie, . not there%s%s\n",
		   (double)width / (double)second,
		   stuck ? ", D uninterruptible sleep" : "",
		   threads ? ", z main thread gone, threads run" : "") +
	       ruler(ncols, width, indent) + rows;
}

/* Orphans left to a reaper other than the watcher: the ones it judges. */
static bool
left_to_reaper(const Log &log, const Process &p)
{
	if (p.role != Role::Child || !p.orphaned)
		return false;
	const std::optional<ProcId> &to = log.events()[*p.orphaned].other;
	return to && !is_watcher(log, to);
}

/*
 * A reaper can collect an orphan only once it is both handed over and
 * ended: its delay counts from the later of the two.
 */
static Nanos
due_from(const Log &log, const Process &p)
{
	Nanos handed = *log.when(p.orphaned);
	return std::max(handed, log.when(p.ended).value_or(handed));
}

static Verdict
judge_one(const Log &log, ProcId id, const Style &style)
{
	const Process &p = log.proc(id);
	Verdict v;

	v.orphan = id;
	v.reaper = log.events()[*p.orphaned].other;
	v.zombie_at_handover = p.ended && *p.ended < *p.orphaned;
	if (p.collected) {
		const Event &c = log.events()[*p.collected];
		v.outcome =
		    c.how == How::Wait ? Outcome::Collected : Outcome::Released;
		v.by = c.other;
		v.delay = c.t - due_from(log, p);
		v.late = c.late;
		v.guess = c.guess;
	} else if (p.unfollowed) {
		v.outcome = Outcome::Unfollowed;
	} else if (p.ended) {
		v.outcome = Outcome::NotCollected;
		v.delay = style.reaper_wait;
	} else {
		v.outcome = Outcome::Running;
	}
	return v;
}

std::vector<Verdict>
judge(const Log &log, const Style &style)
{
	std::vector<Verdict> out;

	for (ProcId id = 0; id < log.procs().size(); id++)
		if (left_to_reaper(log, log.proc(id)))
			out.push_back(judge_one(log, id, style));
	return out;
}

int
check_status(const std::vector<Verdict> &v)
{
	auto is = [&](Outcome o) {
		return std::any_of(v.begin(), v.end(),
		    [o](const Verdict &x) { return x.outcome == o; });
	};
	if (is(Outcome::NotCollected))
		return 3;
	return v.empty() || is(Outcome::Unfollowed) || is(Outcome::Running) ? 4
									    : 0;
}

/* "after it ended", or from its hand-over if it was a zombie then. */
static std::string
since(const Verdict &v)
{
	return v.zombie_at_handover ? "it was handed over as a zombie"
				    : "it ended";
}

static std::string
collected_verdict(const Log &log, const Verdict &v)
{
	std::string by = label_or(log, v.by, "its parent");
	std::string out = "reaper: " + label(log, v.orphan) +
			  " was collected with wait by " + by + " " +
			  (v.late ? "at most " : "") + secs(*v.delay) +
			  " after " + since(v) + "\n";
	if (v.guess != Guess::None)
		out += std::string("        Who collected it is inferred, not "
				   "measured: ") +
		       guess_reason(v.guess) + "\n";
	return out;
}

static std::string
released_verdict(const Log &log, const Verdict &v)
{
	const Process &p = log.proc(v.orphan);
	bool shown = log.events()[*p.collected].ignores ||
		     released_at_handover(p, *p.collected);
	std::string to = label_or(log, last_parent(log, p), "its parent");
	/* SA_NOCLDWAIT does the same, and does not show in SigIgn. */
	return "reaper: " + label(log, v.orphan) +
	       " was released by the kernel because " + to +
	       (shown ? " ignores SIGCHLD"
		      : " ignores SIGCHLD or sets "
			"SA_NOCLDWAIT") +
	       "; no one called wait\n";
}

static std::string
verdict(const Log &log, const Verdict &v)
{
	std::string who = "reaper: " + label(log, v.orphan);
	std::string to = label_or(log, v.reaper, "its reaper");

	switch (v.outcome) {
	case Outcome::Collected:
		return collected_verdict(log, v);
	case Outcome::Released:
		return released_verdict(log, v);
	case Outcome::NotCollected:
		return who + " was not collected by " + to + " within " +
		       secs(*v.delay) + " of " +
		       (v.zombie_at_handover ? "its hand-over as a zombie"
					     : "its end") +
		       "\n        " + to + " did not collect it within " +
		       secs(*v.delay) +
		       "; a reaper that never does lets zombies pile up.\n";
	case Outcome::Running:
		return who + " still ran when the check ended: no verdict\n";
	case Outcome::Unfollowed:
		break;
	}
	return who + " could not be followed to its end: no verdict\n";
}

std::string
verdicts(const Log &log, const Style &style)
{
	std::string out;

	for (const Verdict &v : judge(log, style))
		out += verdict(log, v);
	return out;
}
