// SPDX-License-Identifier: BSD-2-Clause
/*
 * The lines zombie-watch prints.  Every line is written whole, at once,
 * even on a pipe; once standard output fails, nothing more is written and
 * the failure is kept for the exit status.
 */

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "watch.h"

static char out[8192];
static size_t out_len;
static int out_error;

static void
flush_out(void)
{
	size_t done = 0;

	while (out_error == 0 && done < out_len) {
		ssize_t n = write(STDOUT_FILENO, out + done, out_len - done);
		if (n > 0)
			done += (size_t)n;
		else if (n == -1 && errno != EINTR)
			out_error = errno;
	}
	out_len = 0;
}

/* printf-style by design: the format attribute checks every call. */
void
say(const char *fmt, ...) // NOLINT(cert-dcl50-cpp)
{
	va_list ap;

	va_start(ap, fmt);
	/* va_start above: the analyser loses track of it (a false alarm). */
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	int n = vsnprintf(out + out_len, sizeof(out) - out_len, fmt, ap);
	va_end(ap);
	if (n > 0)
		out_len += (size_t)n < sizeof(out) - out_len
			       ? (size_t)n
			       : sizeof(out) - out_len - 1;
	if (out_len > 0 && (out[out_len - 1] == '\n' || out_len > 4096))
		flush_out();
}

int
output_error(void)
{
	return out_error;
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
		return "waiting for I/O (D)";
	case 'Z':
		return "zombie (Z)";
	case 'T':
		return "stopped (T)";
	case 't':
		return "stopped by a tracer (t)";
	default:
		return "in another state";
	}
}

/* "exited with status 0", "was killed by signal 2 (SIGINT)". */
void
describe_status(char *buf, size_t len, int status)
{
	if (status == -1)
		(void)snprintf(buf, len, "ended");
	else if (WIFEXITED(status))
		(void)snprintf(
		    buf, len, "exited with status %d", WEXITSTATUS(status));
	else
		(void)snprintf(buf, len, "was killed by signal %d (SIG%s)",
		    WTERMSIG(status), sigabbrev_np(WTERMSIG(status)));
}

/* How a process is named in a line: by its part in the run. */
void
label(char *buf, size_t len, const struct Watch *w, pid_t pid)
{
	bool watched = false;

	for (size_t i = 1; i < w->nprocs; i++)
		watched = watched || w->procs[i].pid == pid;
	if (pid == w->self)
		(void)snprintf(buf, len, "zombie-watch (%d)", (int)pid);
	else if (pid == w->procs[0].pid)
		(void)snprintf(buf, len, "parent %d", (int)pid);
	else if (watched)
		(void)snprintf(buf, len, "child %d", (int)pid);
	else if (pid == -1)
		(void)snprintf(buf, len, "the kernel");
	else
		proc_name(pid, buf, len);
}

/*
 * The reason for the change just reported: plain sentences, indented
 * under the line they explain and folded to fit a terminal.
 */
static void
why(const char *fmt, ...) // NOLINT(cert-dcl50-cpp): printf-style, checked
{
	char text[1024];
	va_list ap;

	va_start(ap, fmt);
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): as in say
	(void)vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	for (const char *s = text; *s != '\0';) {
		int n = (int)strlen(s), cut = n;
		if (n > 69)
			for (cut = 69; cut > 0 && s[cut] != ' '; cut--)
				;
		if (cut == 0)
			cut = n;
		say("%9s%.*s\n", "", cut, s);
		s += cut;
		while (*s == ' ')
			s++;
	}
}

/* What ending by this signal means, for the reason after its line. */
static void
signal_reason(char *buf, size_t len, int status)
{
	int sig = status != -1 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;

	if (sig == 0)
		buf[0] = '\0';
	else if (sig == SIGKILL)
		(void)snprintf(buf, len,
		    "SIGKILL ended it: it can be neither "
		    "caught nor ignored. ");
	else
		(void)snprintf(buf, len,
		    "SIG%s ended it: with no handler to catch it, its default "
		    "action is to end the process%s. ",
		    sigabbrev_np(sig),
		    WCOREDUMP(status) ? " and dump core" : "");
}

static void
stamp(const struct Watch *w)
{
	say("[%5.1fs] ", now(w));
}

void
report_started(const struct Watch *w, const char *program)
{
	stamp(w);
	say("zombie-watch (%d) started %s as process %d\n", (int)w->self,
	    program, (int)w->procs[0].pid);
}

void
report_found(const struct Watch *w, const struct Proc *p)
{
	char parent[48];

	label(parent, sizeof(parent), w, p->ppid);
	stamp(w);
	if (p->ppid == w->self && p != &w->procs[0]) {
		say("child %d was found orphaned, passes to %s\n", (int)p->pid,
		    parent);
		why("Its parent ended before it was seen, so the kernel handed "
		    "it to the nearest subreaper, zombie-watch.");
	} else {
		say("%s created child %d\n", parent, (int)p->pid);
		why("Its parent forked it: a copy of the parent with a process "
		    "ID of its own, which runs on by itself.");
	}
}

static void
ended_reason(const struct Watch *w, const struct Proc *p)
{
	char sig[160], parent[48];
	const struct Proc *pp = proc_find((struct Watch *)w, p->ppid);

	signal_reason(sig, sizeof(sig), p->status);
	label(parent, sizeof(parent), w, p->ppid);
	if (p->ppid == w->self)
		why("%sIts parent is zombie-watch, which collects it at once.",
		    sig);
	else
		why("%sIts parent %d, %s, has not collected it with wait, so "
		    "the kernel keeps its entry and exit status: a zombie. "
		    "While the parent lives, only the parent may collect it, "
		    "not PID 1 nor a subreaper.",
		    sig, (int)p->ppid,
		    pp != NULL ? state_name(proc_state(pp, NULL, NULL))
			       : "alive");
}

void
report_ended(const struct Watch *w, const struct Proc *p)
{
	char how[64];

	describe_status(how, sizeof(how), p->status);
	stamp(w);
	if (p == &w->procs[0])
		say("parent %d %s\n", (int)p->pid, how);
	else
		say("child %d of %d %s, now a zombie (Z)\n", (int)p->pid,
		    (int)p->ppid, how);
	ended_reason(w, p);
}

void
report_adopted(const struct Watch *w, const struct Proc *p, char st)
{
	char to[48];

	label(to, sizeof(to), w, p->ppid);
	stamp(w);
	if (st != 0)
		say("child %d, orphaned and still %s, passes to %s\n",
		    (int)p->pid, state_name(st), to);
	else
		say("child %d, orphaned, passes to %s\n", (int)p->pid, to);
	const char *now_ =
	    st == 'Z' ? "; its new parent may collect it at last" : "";
	if (p->ppid == 1)
		why("Its parent has exited and no subreaper is above it, so "
		    "the "
		    "kernel hands the orphan to PID 1, the system's reaper%s.",
		    now_);
	else
		why("Its parent has exited, so the kernel hands the orphan to "
		    "the nearest subreaper, here %s, or else to PID 1%s.",
		    to, now_);
}

void
report_collected(const struct Watch *w, const struct Proc *p)
{
	char by[48], how[64];

	label(by, sizeof(by), w, p->collector);
	describe_status(how, sizeof(how), p->status);
	stamp(w);
	if (p->collector == -1) {
		say("the kernel discarded child %d as it ended, since its "
		    "parent %d ignores SIGCHLD\n",
		    (int)p->pid, (int)p->ppid);
		why("A parent that ignores SIGCHLD has the kernel discard its "
		    "children as they end: they never become zombies.");
	} else if (p->ended < 0) {
		say("%s collected child %d as it ended\n", by, (int)p->pid);
		why("Its parent was already waiting for it in wait, so it was "
		    "a zombie for an instant only.");
	} else {
		say("%s collected child %d, which %s\n", by, (int)p->pid, how);
		if (p->orphaned >= 0)
			why("%s, its parent now, called wait: it got the exit "
			    "status, and the kernel removed the entry.",
			    by);
		else
			why("Its parent called wait and got its exit status, "
			    "so the kernel removed its entry.");
	}
}

/* The live picture, read afresh: never what was true a moment ago. */
void
report_states(const struct Watch *w)
{
	const struct Proc *prog = &w->procs[0];
	int adopted = 0;
	pid_t ppid;

	for (size_t i = 1; i < w->nprocs; i++)
		if (w->procs[i].collected < 0 && w->procs[i].ppid == w->self)
			adopted++;
	stamp(w);
	say("parent %d %s", (int)prog->pid,
	    state_name(proc_state(prog, NULL, NULL)));
	if (prog->collected >= 0 && adopted > 0)
		say(", waiting for %d adopted process%s", adopted,
		    adopted == 1 ? "" : "es");
	for (size_t i = 1; i < w->nprocs; i++) {
		char st = proc_state(&w->procs[i], &ppid, NULL);
		if (st != 0)
			say(", child %d of %d %s", (int)w->procs[i].pid,
			    (int)ppid, state_name(st));
	}
	say("\n");
}

void
report_signal(const struct Watch *w, int signo, int sent, int sig)
{
	stamp(w);
	if (sent == 0)
		say("zombie-watch received SIG%s; no process is left to "
		    "pass it on to\n",
		    sigabbrev_np(signo));
	else
		say("zombie-watch received SIG%s, sends SIG%s to %d "
		    "process%s\n",
		    sigabbrev_np(signo), sigabbrev_np(sig), sent,
		    sent == 1 ? "" : "es");
}

void
report_summary(const struct Watch *w)
{
	bool zombie = false;

	for (size_t i = 1; i < w->nprocs; i++) {
		const struct Proc *p = &w->procs[i];
		if (p->ended < 0)
			continue;
		zombie = true;
		/* Left to a reaper that did not collect it. */
		if (p->collected < 0) {
			say("summary: child %d has been a zombie since %.3fs, "
			    "and still is\n",
			    (int)p->pid, p->ended);
			continue;
		}
		say("summary: child %d was a zombie from %.3fs to %.3fs, "
		    "for %.3fs\n",
		    (int)p->pid, p->ended, p->collected,
		    p->collected - p->ended);
	}
	if (w->nprocs < 2)
		say("summary: no child was seen\n");
	else if (!zombie)
		say("summary: no zombie was seen\n");
}
