// SPDX-License-Identifier: BSD-2-Clause
/*
 * The story, event by event.  Each paragraph says what happened and why,
 * as far as the log knew it at that event: the same log always tells the
 * same story, so what a learner saw live can be told again, and checked,
 * from a log made by hand.
 */

#include "report/narrate.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "core/facts.h"

namespace {

/* A paragraph of the story: its line, and the reason folded under it. */
struct Paragraph {
	std::string line;
	std::string why;
};

/* The processes a line of the periodic picture names. */
constexpr size_t most_looks = 20;

} // namespace

static Paragraph
started(const Log &log, const Event &e)
{
	const Process &p = log.proc(e.proc);
	std::string watcher = label_or(log, e.other, "zombie-watch");

	if (e.before)
		return {
		    watcher + " follows " + label(log, e.proc) +
			(p.comm.empty() ? "" : " (" + visible(p.comm) + ")") +
			", already running",
		    "It only observes: it collects nothing and signals "
		    "nothing, and tells what this process and its "
		    "descendants do from now on."};
	std::string line = watcher + " started ";

	if (!p.comm.empty())
		line += visible(p.comm) + " as ";
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
	return {line,
	    "Its parent made it with fork, or the like: a process with "
	    "an ID of its own, "
	    "which starts as a copy of the parent and runs on by "
	    "itself (one made by vfork or posix_spawn borrows the "
	    "parent's memory until it runs a program)."};
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

/* Those whose default action dumps core, as signal(7) lists them. */
static bool
core_action(int sig)
{
	for (int s : {SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
		 SIGSEGV, SIGXCPU, SIGXFSZ, SIGSYS})
		if (sig == s)
			return true;
	return false;
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
	std::string core = WCOREDUMP(*status) ? " and dump core"
			   : core_action(sig)
			       ? " and dump core, though none was written here"
			       : "";
	return signal_text(sig) +
	       " ended it: with no handler to catch it, its default action is "
	       "to end the process" +
	       core + ". ";
}

/* Who holds it as it ends: the reaper it went to, if that came first. */
static std::optional<ProcId>
holder(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	std::optional<Index> handed = known_at(log.proc(e.proc).orphaned, i);

	return handed ? log.events()[*handed].other : e.other;
}

/* Its own end told already, a parent can collect nothing more. */
static bool
ended_before(const Log &log, const std::optional<ProcId> &id, size_t i)
{
	return id && known_at(log.proc(*id).ended, i);
}

/* A zombie that someone other than the watcher leaves be, for now. */
static bool
lingers(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	std::optional<ProcId> parent = holder(log, i);

	return e.what == What::Ended && e.zombie && !e.soon &&
	       log.proc(e.proc).role == Role::Child &&
	       !is_watcher(log, parent) && !ended_before(log, parent, i);
}

/*
 * What every zombie teaches, told under the first that lingers only: a
 * run of many would bury the story under the same lesson.
 */
static bool
sent_sigchld(const Log &log, size_t i)
{
	return log.events()[i].exit_signal == SIGCHLD;
}

/*
 * What its parent was told as it ended: SIGCHLD, once a run; a child made
 * by clone with another exit signal, or none, each time, since the lesson
 * of SIGCHLD is not true of it.
 */
static std::string
signal_lesson(const Log &log, size_t i)
{
	int sig = log.events()[i].exit_signal;

	const char *waits = "; only a wait that asks for such children, with "
			    "__WALL or __WCLONE, collects it.";

	if (sig == 0)
		return std::string("\nIt was made by clone with no exit "
				   "signal, so as it ended the kernel sent "
				   "its parent none") +
		       waits;
	if (sig != SIGCHLD)
		return "\nIt was made by clone with " + signal_text(sig) +
		       " as its exit signal, so as it ended the kernel "
		       "sent its parent that, not SIGCHLD" +
		       waits;
	for (size_t j = 0; j < i; j++)
		if (lingers(log, j) && sent_sigchld(log, j))
			return "";
	return "\nAs it ended, the kernel sent its parent SIGCHLD. Left at its "
	       "default action the signal is ignored, which, unlike SIG_IGN, "
	       "releases nothing and wakes no sleep; a parent that catches it, "
	       "or reads it from a signalfd, and calls waitpid(-1, &status, "
	       "WNOHANG) in a loop collects every ended child.";
}

static std::string
zombie_lessons(const Log &log, size_t i)
{
	if (!lingers(log, i))
		return "";
	std::string lessons = signal_lesson(log, i);
	for (size_t j = 0; j < i; j++)
		if (lingers(log, j))
			return lessons;
	return lessons +
	       "\nA zombie cannot be killed: it runs no code, so kill -9 "
	       "succeeds and changes nothing. The cure is a parent that waits, "
	       "or ending the parent so that a reaper adopts it. Meanwhile it "
	       "holds its PID, exit status and resource usage, and counts "
	       "against its user's process limit (RLIMIT_NPROC) and its "
	       "container's pids.max: enough zombies stop new processes from "
	       "starting.";
}

static std::string
holder_reason(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	bool handed = known_at(log.proc(e.proc).orphaned, i).has_value();
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
	if (e.soon)
		return std::string(handed ? "Its new parent" : "Its parent") +
		       " collected it " +
		       secs(as_told(e.t + *e.soon) - as_told(e.t)) +
		       " later, so it was a zombie only for that moment: a "
		       "parent that waits for its children's ends, in wait, "
		       "a SIGCHLD handler, a signalfd or a pidfd, is woken as "
		       "the child ends.";
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
	       "parent, from any of its threads, may collect it: no init and "
	       "no subreaper may.";
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
	return {line, signal_reason(e.status) + holder_reason(log, i) +
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
	    "else to the nearest child subreaper above it within its PID "
	    "namespace, else to that namespace's init (PID 1 only inside "
	    "it); here that is " +
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

	if (!status && known_at(p.ended, i))
		status = log.events()[*p.ended].status;
	/* "The child" would be the program itself when the watcher waits. */
	std::string who = label(log, e.proc);
	std::string line =
	    by + " collected " + who + ", which " + describe_status(status);
	if (known_at(p.orphaned, i))
		return {line, by +
				  ", its parent now, called wait, which told "
				  "it how " +
				  who +
				  " ended, and the kernel removed the "
				  "entry."};
	return {line, "Its parent called wait, which told it how " + who +
			  " ended, so the kernel removed its entry."};
}

/* Whose SIGCHLD was ignored as the process ended: its parent then. */
static std::string
sigchld_ignorer(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	std::optional<Index> end = known_at(log.proc(e.proc).ended, i);
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
		line += " as it ended, since " + sigchld_ignorer(log, i) +
			" ignores SIGCHLD";
	else
		line += " as it ended";
	return {line,
	    "A parent that ignores SIGCHLD, or sets SA_NOCLDWAIT, has "
	    "the kernel release its children as they end: no one "
	    "calls wait, and they never stay zombies."};
}

static Paragraph
collected(const Log &log, size_t i)
{
	const Event &e = log.events()[i];
	Paragraph p = e.how == How::Wait ? waited(log, i) : released(log, i);

	/* In the line itself: a reader of lines alone must see it too. */
	if (e.guess == Guess::WaitOrRelease)
		p.line += " (inferred; or the kernel released it)";
	else if (e.guess != Guess::None)
		p.line += " (inferred)";
	/* Released, no one collected it: what is inferred is that. */
	if (e.guess != Guess::None)
		p.why += std::string(e.how == How::Wait
					 ? " Who collected it is inferred, not "
					   "measured: "
					 : " That no one collected it is "
					   "inferred, not measured: ") +
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

/*
 * The kernel dropped records it had no room for: what they would have
 * told is either missing or read later from /proc, and says so.
 */
static Paragraph
lost(const Event &e)
{
	std::string line = "the kernel may have lost fork and exit records";

	if (e.count > 0)
		line = std::string("the kernel lost ") +
		       (e.at_least ? "at least " : "") +
		       plural(e.count, "fork or exit record",
			   "fork and exit records");
	return {line + format(", from %s to %s: the watcher was behind and "
			      "their ring was full",
			   secs(e.since).c_str(), secs(e.t).c_str()),
	    "A burst of processes, or a watcher slowed or stopped, left no "
	    "room for them. What they would have told is read from /proc "
	    "instead: a process that began and ended in that time is "
	    "missed, and an end found there is told when zombie-watch saw "
	    "it, which may be later than it happened."};
}

static Paragraph
unrecorded(const Log &log, const Event &e)
{
	return {label(log, e.proc) +
		    " ran a program that changes its user or group: the kernel "
		    "stops its records there",
	    "A program that runs with other rights (set-user-ID or "
	    "set-group-ID), or that it may not read, is not followed, so that "
	    "it cannot be spied on through them; the kernel wrote its exit "
	    "record, but it runs on. zombie-watch follows it by its pidfd: its "
	    "end is seen when it comes, and its children are looked for in "
	    "/proc, 25 times a second, so one that lives less than that may "
	    "be missed."};
}

static Paragraph
thread_exec(const Log &log, const Event &e)
{
	std::string who = label(log, e.proc);

	return {who + " ran " + visible(e.comm) +
		    " from a thread other than its main one; nothing exited",
	    "A program replaces the whole process, so the kernel ended its "
	    "other threads, its main thread too if it ran still, and gave the "
	    "thread that ran it the process's ID, " +
		format("%d", (int)log.proc(e.proc).pid) +
		". The process lives on with that one thread."};
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

/* A process shown in D: a state the other words do not explain. */
static bool
shows_uninterruptible(const Log &log, const Event &e)
{
	if (e.what != What::States)
		return false;
	const std::vector<Look> &looks = log.snapshot(e.snapshot).looks;
	auto end =
	    looks.begin() + (long)std::min<size_t>(looks.size(), most_looks);
	return std::any_of(looks.begin(), end,
	    [](const Look &l) { return l.state == 'D' && !l.main_exited; });
}

/* Said the first time only: a parent may sit in D for many a look. */
static std::string
uninterruptible_reason(const Log &log, size_t i)
{
	if (!shows_uninterruptible(log, log.events()[i]))
		return "";
	for (size_t j = 0; j < i; j++)
		if (shows_uninterruptible(log, log.events()[j]))
			return "";
	return "D is a sleep inside the kernel that ordinary signals do not "
	       "break: as for a disk, or in a parent that created its child "
	       "with vfork, as posix_spawn does, until that child execs or "
	       "exits (a fatal signal, as SIGKILL, still ends that wait). "
	       "Unlike after fork, such a parent does not run on beside its "
	       "child.";
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
		if (shown++ == most_looks)
			break;
		if (!line.empty())
			line += ", ";
		line += look_text(log, l);
		if (program && l.proc == *program)
			line += adopted_text(s.adopted);
	}
	if (s.looks.size() > most_looks)
		line += format(" and %zu more", s.looks.size() - most_looks);
	return {line, uninterruptible_reason(log, i)};
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
	case What::Lost:
		return lost(e);
	case What::Unrecorded:
		return unrecorded(log, e);
	case What::Exec:
		return thread_exec(log, e);
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
	const Event &e = log.events()[i];
	return fit(stamp(e.t, e.late) + p.line, HANG, style) +
	       fold(p.why, style.width);
}
