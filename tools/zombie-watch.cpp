// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch: run a program (zombie by default) and narrate the life of
 * it and of every process it creates, as the kernel reports each change,
 * until all of them have been collected.  The watcher is a child
 * subreaper, so orphans come to it, even where PID 1 never collects them;
 * or, checking the system's reaper, it lets them go and follows them.
 */

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "watch.h"

/* What the watcher inherited, handed on to the program untouched. */
static sigset_t inherited_mask;
static struct sigaction inherited_sigchld;
static struct rlimit inherited_files;

static void fail(const char *what);

/* Four descriptors a process followed: take all the system allows. */
static void
files_setup(void)
{
	struct rlimit all;

	if (getrlimit(RLIMIT_NOFILE, &inherited_files) == -1)
		fail("getrlimit");
	all = inherited_files;
	all.rlim_cur = all.rlim_max;
	(void)setrlimit(RLIMIT_NOFILE, &all);
}

static void
usage(FILE *to)
{
	(void)fprintf(to,
	    "usage: zombie-watch [--check-reaper [--reaper-wait=SECONDS]] [--] "
	    "[PROGRAM [ARG...]]\n"
	    "Run PROGRAM (by default the zombie beside zombie-watch) and show "
	    "the life of it\nand of every process it creates, until all have "
	    "been collected.\n\n"
	    "  --check-reaper         do not adopt orphans: follow each to the "
	    "process that\n"
	    "                         adopts it (PID 1 or a subreaper) and "
	    "report whether and\n"
	    "                         how soon that process collects it\n"
	    "  --reaper-wait=SECONDS  how long to wait for that (default "
	    "10)\n\n"
	    "Exit status: the program's own; 128+N if a signal N killed it;\n"
	    "2 usage error; 3 an orphan was not collected (--check-reaper);\n"
	    "125 zombie-watch failed (also when its output failed);\n"
	    "126 PROGRAM cannot run; 127 PROGRAM not found.\n");
}

static void
fail(const char *what)
{
	(void)fprintf(stderr, "zombie-watch: %s: %s\n", what, strerror(errno));
	exit(125);
}

static void
usage_error(const char *what, const char *arg)
{
	(void)fprintf(stderr, "zombie-watch: %s %s\n", what, arg);
	usage(stderr);
	exit(2);
}

/* A number of seconds, whole or not, and nothing else. */
static bool
seconds(const char *s, double *into)
{
	char *end;
	double d = strtod(s, &end);

	if (end == s || *end != '\0' || !(d >= 0 && d <= 1e6))
		return false;
	*into = d;
	return true;
}

/* The program's argv, from ours or the default beside us in program. */
static char **
options(int argc, char *argv[], struct Watch *w, char *program, size_t len,
    char **dflt)
{
	int i = 1;
	bool waits = false;

	for (; i < argc && argv[i][0] == '-'; i++) {
		if (strcmp(argv[i], "--") == 0) {
			i++;
			break;
		} else if (strcmp(argv[i], "--help") == 0) {
			usage(stdout);
			exit(0);
		} else if (strcmp(argv[i], "--check-reaper") == 0)
			w->check = true;
		else if (strncmp(argv[i], "--reaper-wait=", 14) == 0) {
			if (!seconds(argv[i] + 14, &w->reaper_wait))
				usage_error(
				    "not a number of seconds:", argv[i]);
			waits = true;
		} else
			usage_error("unknown option", argv[i]);
	}
	if (waits && !w->check)
		usage_error("--reaper-wait needs", "--check-reaper");
	if (i < argc)
		return argv + i;
	ssize_t n = readlink("/proc/self/exe", program, len - 8);
	program[n > 0 ? n : 0] = '\0';
	char *slash = strrchr(program, '/');
	char *name = slash != NULL ? slash + 1 : program;
	(void)snprintf(name, len - (size_t)(name - program), "zombie");
	return dflt;
}

/*
 * Takes every signal the loop handles through a signalfd.  SIGPIPE is
 * blocked too, so that a closed output is a failed write, not a death.
 */
static int
signals_setup(void)
{
	sigset_t mask;
	struct sigaction dfl;

	(void)sigemptyset(&mask);
	(void)sigaddset(&mask, SIGCHLD);
	(void)sigaddset(&mask, SIGPIPE);
	/* Ignored when we were started, as under nohup: ignored they stay. */
	static const int ends[] = {SIGINT, SIGTERM, SIGHUP};
	for (int sig : ends) {
		struct sigaction was;
		if (sigaction(sig, NULL, &was) == 0 &&
		    was.sa_handler != SIG_IGN)
			(void)sigaddset(&mask, sig);
	}
	if (sigprocmask(SIG_BLOCK, &mask, &inherited_mask) == -1)
		fail("sigprocmask");
	/* An ignored SIGCHLD would have the kernel discard our children. */
	memset(&dfl, 0, sizeof(dfl));
	dfl.sa_handler = SIG_DFL;
	if (sigaction(SIGCHLD, &dfl, &inherited_sigchld) == -1)
		fail("sigaction");
	(void)sigdelset(&mask, SIGPIPE);
	int fd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
	if (fd == -1)
		fail("signalfd");
	return fd;
}

static void
program_exec(char *argv[], int go, int report)
{
	char c;

	/* Wait until the watcher follows us, so that no fork goes unseen. */
	while (read(go, &c, 1) == -1 && errno == EINTR)
		;
	(void)sigaction(SIGCHLD, &inherited_sigchld, NULL);
	(void)sigprocmask(SIG_SETMASK, &inherited_mask, NULL);
	(void)setrlimit(RLIMIT_NOFILE, &inherited_files);
	(void)execvp(argv[0], argv);
	int err = errno;
	(void)write(report, &err, sizeof(err));
	_exit(127);
}

/* Exits as a shell would (127 not found, 126 not runnable) on failure. */
static void
exec_check(struct Watch *w, int report, const char *name)
{
	int err;
	ssize_t n;

	/* The pipe closes unread on a successful exec. */
	while ((n = read(report, &err, sizeof(err))) == -1 && errno == EINTR)
		;
	(void)close(report);
	if (n != (ssize_t)sizeof(err))
		return;
	(void)waitpid(w->procs[0].pid, NULL, 0);
	(void)fprintf(
	    stderr, "zombie-watch: cannot run %s: %s\n", name, strerror(err));
	exit(err == ENOENT ? 127 : 126);
}

static void
start(struct Watch *w, char *argv[])
{
	int go[2], report[2];

	if (pipe2(go, O_CLOEXEC) == -1 || pipe2(report, O_CLOEXEC) == -1)
		fail("pipe");
	pid_t pid = fork();
	if (pid == -1)
		fail("fork");
	if (pid == 0) {
		(void)close(go[1]);
		program_exec(argv, go[0], report[1]);
	}
	(void)close(go[0]);
	(void)close(report[1]);
	w->polling = !forks_open(pid);
	if (proc_add(w, pid, w->self) == NULL)
		fail("pidfd_open");
	report_started(w, argv[0]);
	(void)close(go[1]);
	exec_check(w, report[0], argv[0]);
}

static struct itimerspec
every(double period)
{
	struct timespec ts = {
	    (time_t)period, (long)((period - (double)(time_t)period) * 1e9)};

	return {ts, ts};
}

static int
ticker(double period)
{
	struct itimerspec when = every(period);
	int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);

	if (fd == -1 || timerfd_settime(fd, 0, &when, NULL) == -1)
		fail("timerfd");
	return fd;
}

static void on_exit_of(struct Watch *w, struct Proc *p);

/* Whoever was a child of the dead has just been handed to a reaper. */
static void
orphans(struct Watch *w, pid_t dead)
{
	pid_t ppid;

	for (size_t i = 1; i < w->nprocs; i++) {
		struct Proc *p = &w->procs[i];
		if (p->ppid != dead || p->collected >= 0)
			continue;
		char st = proc_state(p, &ppid, NULL);
		/* Being collected as we look: its hangup will tell by whom. */
		if (st == 0 || st == 'X' || ppid == 0)
			continue;
		/* Dead with its parent, as under Ctrl-C: say so first. */
		if (st == 'Z' && p->ended < 0)
			on_exit_of(w, p);
		p->ppid = ppid;
		p->orphaned = now(w);
		report_adopted(w, p, st);
	}
}

/* It has ended and is a zombie until someone collects it. */
static void
on_exit_of(struct Watch *w, struct Proc *p)
{
	int code = -1;
	char st = proc_state(p, NULL, &code);

	picture_look(p, now(w));
	/* Gone already, or going: its hangup will tell who took it. */
	if (st == 'Z') {
		struct Proc *parent = proc_find(w, p->ppid);
		p->ended = now(w);
		p->status = code;
		/* What its collector will be credited with, for the record. */
		p->faults = proc_faults(p->statfd, false);
		p->children_faults = proc_faults(p->statfd, true);
		if (parent != NULL)
			p->parent_faults = proc_faults(parent->statfd, true);
		report_ended(w, p);
	}
	orphans(w, p->pid);
}

/* A parent that has just ended is told of before what followed from it. */
static void
parent_first(struct Watch *w, struct Proc *parent)
{
	if (parent != NULL && parent->ended < 0 &&
	    proc_state(parent, NULL, NULL) == 'Z')
		on_exit_of(w, parent);
}

static void
on_collected(struct Watch *w, struct Proc *p, pid_t by, int status)
{
	p->collected = now(w);
	p->collector = by;
	if (status != -1)
		p->status = status;
	proc_release(p);
	if (p != &w->procs[0])
		report_collected(w, p);
}

/*
 * Collects every zombie that is ours: the program, and whatever has been
 * orphaned to us.  Each is looked at before it is collected, so that what
 * is said of it is what the kernel held.
 */
static void
collect(struct Watch *w)
{
	siginfo_t si;
	int status;

	for (;;) {
		si.si_pid = 0;
		if (waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) == -1) {
			w->have_children = errno != ECHILD;
			return;
		}
		if (si.si_pid == 0)
			return;
		struct Proc *p = proc_find(w, si.si_pid);
		if (p == NULL)
			p = proc_add(w, si.si_pid, w->self);
		/* Ours by adoption: its parent's end comes first. */
		if (p != NULL)
			parent_first(w, proc_find(w, p->ppid));
		if (p != NULL && p->ended < 0)
			on_exit_of(w, p);
		if (waitpid(si.si_pid, &status, WNOHANG) != si.si_pid)
			return;
		if (p != NULL)
			on_collected(w, p, w->self, status);
	}
}

/*
 * Whether parent collected p: collecting a child adds its page faults to
 * the parent's count of its children's, as /proc shows even of a zombie.
 * If p's own count was never seen, any growth since its birth must do.
 */
static bool
collected_by(
    const struct Watch *w, const struct Proc *parent, const struct Proc *p)
{
	long long now_ = parent->ended >= 0 ? parent->children_faults
					    : proc_faults(parent->statfd, true);

	if (p->parent_faults < 0 || now_ < 0)
		return true;
	/* Less what it was seen collecting of its other children since. */
	long long grown = now_ - p->parent_faults;
	double since = p->ended >= 0 ? p->ended : p->born;
	bool unknown = false;
	for (size_t i = 0; i < w->nprocs; i++) {
		const struct Proc *q = &w->procs[i];
		if (q == p || q->collector != parent->pid ||
		    q->collected < since)
			continue;
		grown -= q->faults > 0 ? q->faults : 0;
		unknown = unknown || q->faults <= 0;
	}
	if (grown < (p->faults > 0 ? p->faults : 1))
		return false;
	/* A sibling's share unknown: a reaper's growth decides instead. */
	return !unknown || reaper_grew(p) == 0;
}

/*
 * A zombie that is not ours is gone.  Its parent collected it, unless the
 * parent ended first and handed it to a reaper that collected it at once,
 * before it could be seen there: then tell it in the order it happened.
 */
static void
collected_elsewhere(struct Watch *w, size_t i)
{
	struct Proc *p = &w->procs[i];
	struct Proc *parent = NULL;

	if (p->collected >= 0)
		return;
	/* Its parent's record, though the parent may be collected already. */
	for (size_t k = i; k-- > 0 && parent == NULL;)
		if (w->procs[k].pid == p->ppid)
			parent = &w->procs[k];
	if (p->ended < 0) {
		/* What it was doing until it ended, unseen. */
		picture_look(p, p->exit_at >= 0 ? p->exit_at : now(w));
		p->status = proc_exit_status(p);
		orphans(w, p->pid);
	}
	parent_first(w, parent);
	if (parent != NULL && parent->ended >= 0 &&
	    !collected_by(w, parent, p)) {
		if (p->ended < 0 && p->exit_at >= 0)
			p->ended = p->exit_at;
		p->ppid = reaper_who(w, p);
		p->orphaned = now(w);
		report_adopted(w, p, p->ended >= 0 ? 'Z' : 0);
	}
	/* A parent that ignores SIGCHLD has the kernel discard its dead. */
	bool discarded = parent != NULL && p->orphaned < 0 &&
			 parent->collected < 0 && proc_ignores(parent, SIGCHLD);
	on_collected(w, p, discarded ? -1 : p->ppid, -1);
}

/* Takes the signals that came; true if one said a child of ours ended. */
static bool
on_signals(struct Watch *w, int sigfd)
{
	struct signalfd_siginfo si;
	bool sigchld = false;

	while (read(sigfd, &si, sizeof(si)) == (ssize_t)sizeof(si)) {
		if (si.ssi_signo == SIGCHLD) {
			sigchld = true;
			continue;
		}
		if (w->signals++ == 0)
			w->signo = (int)si.ssi_signo;
		/* The first is passed on; a second one is meant. */
		int sig = w->signals == 1 ? w->signo : SIGKILL, sent = 0;
		for (size_t i = 0; i < w->nprocs; i++) {
			char st = proc_state(&w->procs[i], NULL, NULL);
			if (st != 0 && st != 'Z' &&
			    pidfd_signal(w->procs[i].pidfd, sig) == 0)
				sent++;
		}
		report_signal(w, (int)si.ssi_signo, sent, sig);
	}
	return sigchld;
}

static void
on_tick(struct Watch *w, int tfd)
{
	unsigned long long ticks;

	if (read(tfd, &ticks, sizeof(ticks)) == (ssize_t)sizeof(ticks))
		report_states(w);
}

/* One look per column of the timeline, as wide as the run so far needs. */
static void
on_sample(struct Watch *w, int sfd)
{
	static double period;
	unsigned long long ticks;
	double width = picture_column(now(w) + 0.001);

	if (read(sfd, &ticks, sizeof(ticks)) != (ssize_t)sizeof(ticks))
		return;
	picture_sample(w);
	struct itimerspec next = every(width);
	if (width != period && timerfd_settime(sfd, 0, &next, NULL) == -1)
		fail("timerfd");
	period = width;
}

static bool
finished(const struct Watch *w)
{
	for (size_t i = 0; i < w->nprocs; i++)
		if (w->procs[i].collected < 0 &&
		    !reaper_gave_up(w, &w->procs[i]))
			return false;
	return !w->have_children;
}

/* Looking, not waiting, is needed only where the kernel cannot tell. */
static int
poll_timeout(const struct Watch *w)
{
	int reaper = reaper_timeout(w);

	if (reaper >= 0 && reaper < 40)
		return reaper;
	for (size_t i = 0; i < w->nprocs; i++) {
		const struct Proc *p = &w->procs[i];
		if (p->collected >= 0)
			continue;
		if (w->polling && p->ended < 0)
			return 40;
		if (!w->hup_works && p->ended >= 0)
			return 40;
	}
	return reaper;
}

enum { SIGFD, TIMERFD, SAMPLEFD, FIXED_FDS };

/* The poll set: signals, the ticker, the fork records, each pidfd. */
static size_t
poll_set(struct Watch *w, struct pollfd **fds, size_t *cap, const int *fixed,
    int *nrings)
{
	size_t want = FIXED_FDS + MAX_RINGS + w->nprocs;
	if (*cap < want) {
		void *p = realloc(*fds, want * sizeof(**fds));
		if (p == NULL)
			fail("realloc");
		*fds = (struct pollfd *)p, *cap = want;
	}
	if (*fds == NULL)
		fail("realloc");
	int rfd[MAX_RINGS];
	*nrings = forks_fds(rfd, MAX_RINGS);
	size_t n = 0;
	for (; n < FIXED_FDS; n++)
		(*fds)[n] = {fixed[n], POLLIN, 0};
	for (int i = 0; i < *nrings; i++)
		(*fds)[n++] = {rfd[i], POLLIN, 0};
	/* A zombie's pidfd stays readable; after that, await the hangup. */
	for (size_t i = 0; i < w->nprocs; i++)
		(*fds)[n++] = {w->procs[i].pidfd,
		    (short)(w->procs[i].ended < 0 ? POLLIN : 0), 0};
	return n;
}

/*
 * The collections the kernel reported, told in the order the processes
 * ended, as its exit records have it, or else the young before the old:
 * a process that collects another outlives it.
 */
static void
hangups(struct Watch *w, const struct pollfd *fds, size_t nprocs)
{
	for (;;) {
		size_t next = nprocs;
		for (size_t i = nprocs; i-- > 0;) {
			const struct Proc *p = &w->procs[i];
			if (!(fds[i].revents & (POLLHUP | POLLNVAL)) ||
			    p->collected >= 0)
				continue;
			if (next == nprocs ||
			    (p->exit_at >= 0 && w->procs[next].exit_at >= 0 &&
				p->exit_at < w->procs[next].exit_at))
				next = i;
		}
		if (next == nprocs)
			return;
		collected_elsewhere(w, next);
	}
}

/*
 * One turn of the lifecycle: sleep until the kernel reports something,
 * then take it in the order it happens: births, deaths, collections.
 */
static void
step(struct Watch *w, const int *fixed)
{
	static struct pollfd *fds;
	static size_t cap;
	int nrings;
	size_t n = poll_set(w, &fds, &cap, fixed, &nrings);
	size_t first = FIXED_FDS + (size_t)nrings, nprocs = w->nprocs;

	if (poll(fds, n, poll_timeout(w)) == -1 && errno != EINTR)
		fail("poll");
	/* Births first, so that a signal passed on reaches them too. */
	bool hung_up = false;
	for (int i = 0; i < nrings; i++)
		hung_up = hung_up || (fds[FIXED_FDS + i].revents & POLLHUP);
	if (nrings > 0)
		forks_read(w, hung_up);
	if (w->polling)
		children_sweep(w);
	bool sigchld =
	    (fds[SIGFD].revents & POLLIN) && on_signals(w, fixed[SIGFD]);
	/* What a living parent collected, it collected before it died. */
	hangups(w, fds + first, nprocs);
	for (size_t i = 0; i < nprocs; i++)
		if ((fds[first + i].revents & POLLIN) &&
		    w->procs[i].ended < 0 && w->procs[i].collected < 0)
			on_exit_of(w, &w->procs[i]);
	if (sigchld)
		collect(w);
	for (size_t i = 0; i < nprocs && !w->hup_works; i++)
		if (w->procs[i].ended >= 0 && !proc_alive(&w->procs[i]))
			collected_elsewhere(w, i);
	if (fds[TIMERFD].revents & POLLIN)
		on_tick(w, fixed[TIMERFD]);
	if (fds[SAMPLEFD].revents & POLLIN)
		on_sample(w, fixed[SAMPLEFD]);
}

/* Ends as the signal that ended the run would have ended us. */
static void
reraise(int signo)
{
	sigset_t mask;

	(void)signal(signo, SIG_DFL);
	(void)sigemptyset(&mask);
	(void)sigaddset(&mask, signo);
	(void)raise(signo);
	(void)sigprocmask(SIG_UNBLOCK, &mask, NULL);
}

static int
finish(const struct Watch *w)
{
	int status = w->procs[0].status, err;

	report_summary(w);
	if (w->check)
		report_verdicts(w);
	report_timeline(w);
	if ((err = output_error()) != 0)
		(void)fprintf(stderr, "zombie-watch: standard output: %s\n",
		    strerror(err));
	if (w->signo != 0)
		reraise(w->signo);
	if (err != 0)
		return 125;
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	if (WEXITSTATUS(status) != 0 || !w->check)
		return WEXITSTATUS(status);
	return reaper_all_collected(w) ? 0 : 3;
}

/* Colour only on a terminal, and never where the user said no. */
static bool
wants_colour(void)
{
	const char *no = getenv("NO_COLOR"), *term = getenv("TERM");

	return isatty(STDOUT_FILENO) && (no == NULL || *no == '\0') &&
	       term != NULL && *term != '\0' && strcmp(term, "dumb") != 0;
}

int
main(int argc, char *argv[])
{
	char program[PATH_MAX];
	char *dflt[] = {program, NULL};
	/* Static, so that what it holds is still held when the process ends. */
	static struct Watch w;

	w.reaper_wait = 10;
	char **args = options(argc, argv, &w, program, sizeof(program), dflt);
	if (w.check && getpid() == 1)
		reaper_refuse_pid1();
	if (w.check)
		reaper_pin_ancestors();
	w.t0 = now(&w);
	w.self = getpid();
	w.have_children = true;
	w.hup_works = pidfd_hangs_up();
	w.colour = wants_colour();
	files_setup();
	int fixed[FIXED_FDS];
	fixed[SIGFD] = signals_setup();
	/* Checking the system's reaper, orphans must be free to reach it. */
	if (!w.check && prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
		fail("prctl");
	start(&w, args);
	fixed[TIMERFD] = ticker(5);
	fixed[SAMPLEFD] = ticker(picture_column(0));
	while (!finished(&w))
		step(&w, fixed);
	return finish(&w);
}
