// SPDX-License-Identifier: BSD-2-Clause
/*
 * watch_bench OLD NEW ZOMBIE: measures two watchers side by side and
 * prints each figure beside its target.  A default run of ZOMBIE runs
 * under each watcher, and another under NEW that the bench stops from
 * 27 s to 32 s, all three at once.  A program that creates 5000
 * processes at once runs unwatched, under OLD and under NEW, three times
 * each, one run at a time, some while the default runs sleep.  Last,
 * alone, NEW watches a program that creates 21000 processes one after
 * another.
 *
 * What a program created is counted from the kernel's fork events, as
 * its process events connector announces every fork (root only).  The
 * count is exact, where /proc/stat's counts every fork on the machine,
 * and it owes nothing to the perf records the watchers themselves read.
 */

#include <errno.h>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

const char burst[] = "for i in $(seq 5000); do /bin/true & done; wait";
const char series[] = "for i in $(seq 21000); do /bin/true; done";
const int reps = 3;
const double stop_at = 27, cont_at = 32; /* seconds into the run */
const double sample_every = 0.1;         /* s between looks at a peak */
const double limit = 240;                /* s before a run is killed */

struct Fork {
	pid_t parent, child;
};

struct Summary {
	double from, to, span;
	pid_t child;
};

/* Largest members first, which wastes the least room in padding. */
struct Run {
	const char *who = "";  /* unwatched, old or new */
	const char *work = ""; /* what it ran, as the table names it */
	char *const *argv = nullptr;
	double begun = 0, ended = -1, sample_at = 0;
	double stopped = -1, continued = -1; /* since begun */

	/* From the kernel's fork events. */
	double zombie_at = -1, gone_at = -1;
	std::vector<Fork> forks;

	/* From what it printed. */
	size_t linelen = 0, errlen = 0;
	std::vector<pid_t> reported;
	Summary sum = {};

	/* From its end. */
	double own_ms = NAN, all_ms = NAN;
	long maxrss_kb = -1, hwm_kb = -1;
	long created = 0, seen = 0, unknown = 0;

	pid_t pid = 0; /* what the bench started: a watcher, or bash */
	int pidfd = -1, out = -1, err = -1;
	pid_t first = 0, target = 0; /* its first child and grandchild */
	int first_fd = -1, target_fd = -1;
	pid_t named = 0; /* the program, as it names it */
	int status = 0;
	bool demo = false;  /* a default run: the child's span is measured */
	bool stops = false; /* stopped from stop_at to cont_at */
	bool reaped = false, done = false, killed = false, has_sum = false;
	char errtext[256] = "";
	char line[4096] = "";
};

/* The 5000 runs by repetition and kind, the default runs, the long run. */
const ptrdiff_t demos = (ptrdiff_t)reps * 3, series_run = demos + 3;
Run runs[series_run + 1];
double begun;           /* when the bench started */
double demos_begun;     /* when the default runs started */
bool overlapped;        /* a 5000 run was busy at a default run's moment */
int events = -1;        /* the kernel's process events */
bool events_lost;       /* some fork went unannounced: counts are off */
pid_t pid_max = 32768;  /* sizes the tables below */
unsigned char *owner;   /* per pid: 1 + the index of its run, or 0 */
unsigned char *in_tree; /* per pid, while one run is counted: in it */
unsigned char *times;   /* and how many of its processes had the pid */
pid_t bench;            /* our own pid */
long others;            /* forks by processes of no run */

[[noreturn]] void
die(const char *what)
{
	perror(what);
	exit(1);
}

double
now()
{
	struct timespec ts;
	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int
pidfd_open(pid_t pid)
{
	return (int)syscall(SYS_pidfd_open, pid, 0);
}

int
pidfd_kill(int fd, int sig)
{
	return fd == -1 ? -1
			: (int)syscall(SYS_pidfd_send_signal, fd, sig, NULL, 0);
}

void
close_fd(int *fd)
{
	if (*fd != -1)
		(void)close(*fd);
	*fd = -1;
}

bool
in_range(pid_t pid)
{
	return pid > 0 && pid <= pid_max;
}

/* Files under /proc are small and read at once: into buf, or false. */
bool
slurp(pid_t pid, const char *name, char *buf, size_t size)
{
	char path[64];
	(void)snprintf(path, sizeof(path), "/proc/%d/%s", (int)pid, name);
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	ssize_t n = fd == -1 ? -1 : read(fd, buf, size - 1);
	if (fd != -1)
		(void)close(fd);
	buf[n > 0 ? n : 0] = '\0';
	return n > 0;
}

/* Whether the kernel's fork events reach us: one of our own must. */
bool
events_work()
{
	alignas(struct nlmsghdr) char buf[1024];
	pid_t pid = fork();
	if (pid == 0)
		_exit(0);
	(void)waitpid(pid, NULL, 0);
	struct pollfd p = {events, POLLIN, 0};
	while (poll(&p, 1, 1000) == 1) {
		ssize_t n = recv(events, buf, sizeof(buf), 0);
		const auto *h = (const struct nlmsghdr *)buf;
		if (n <= 0 || !NLMSG_OK(h, (size_t)n))
			continue;
		const auto *c = (const struct cn_msg *)NLMSG_DATA(h);
		const auto *e = (const struct proc_event *)c->data;
		if (e->what == proc_event::PROC_EVENT_FORK &&
		    e->event_data.fork.child_pid == pid)
			return true;
	}
	return false;
}

/* Listens to fork events only, a filter that Linux 6.6 brought. */
void
events_open()
{
	alignas(struct nlmsghdr) char
	    msg[NLMSG_SPACE(sizeof(struct cn_msg) + 2 * sizeof(uint32_t))] = {};
	auto *h = (struct nlmsghdr *)msg;
	auto *c = (struct cn_msg *)NLMSG_DATA(h);
	uint32_t input[2] = {PROC_CN_MCAST_LISTEN, proc_event::PROC_EVENT_FORK};
	struct sockaddr_nl sa = {};
	int big = 64 << 20; /* 5000 forks at once must not overflow it */

	events =
	    socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
	sa.nl_family = AF_NETLINK;
	sa.nl_groups = CN_IDX_PROC;
	h->nlmsg_len = NLMSG_LENGTH(sizeof(struct cn_msg) + sizeof(input));
	h->nlmsg_type = NLMSG_DONE;
	c->id.idx = CN_IDX_PROC;
	c->id.val = CN_VAL_PROC;
	c->len = sizeof(input);
	memcpy(c->data, input, sizeof(input));
	if (events == -1 ||
	    bind(events, (struct sockaddr *)&sa, sizeof(sa)) == -1 ||
	    setsockopt(events, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) ==
		-1 ||
	    send(events, msg, h->nlmsg_len, 0) == -1 || !events_work()) {
		(void)fprintf(stderr,
		    "watch_bench: the kernel's fork events, which count what "
		    "each run creates,\ndo not reach the bench: run it as root "
		    "on Linux 6.6 or later\n");
		exit(1);
	}
}

void
on_fork(pid_t parent, pid_t child)
{
	/* A run's first process is the bench's, and marked as it is made. */
	if (!in_range(parent) || !in_range(child) || parent == bench)
		return;
	int o = owner[parent];
	if (o != 0 && runs[o - 1].done)
		o = 0;
	/* A pid used again is its new process's: a run's, or no one's. */
	owner[child] = (unsigned char)o;
	if (o == 0) {
		others++;
		return;
	}
	Run *r = &runs[o - 1];
	r->forks.push_back({parent, child});
	if (parent == r->pid && r->first == 0) {
		r->first = child;
		if (strcmp(r->who, "unwatched") != 0)
			r->first_fd = pidfd_open(child);
	} else if (r->demo && parent == r->first && r->target == 0) {
		r->target = child;
		r->target_fd = pidfd_open(child);
	}
}

void
events_read()
{
	alignas(struct nlmsghdr) char buf[1024];

	for (;;) {
		ssize_t n = recv(events, buf, sizeof(buf), MSG_DONTWAIT);
		if (n == -1 && errno == ENOBUFS) {
			events_lost = true;
			continue;
		}
		if (n <= 0)
			return;
		const auto *h = (const struct nlmsghdr *)buf;
		if (!NLMSG_OK(h, (size_t)n))
			continue;
		const auto *c = (const struct cn_msg *)NLMSG_DATA(h);
		const auto *e = (const struct proc_event *)c->data;
		/* A thread is no process; its fork event has pid != tgid. */
		if (c->id.idx == CN_IDX_PROC &&
		    e->what == proc_event::PROC_EVENT_FORK &&
		    e->event_data.fork.child_pid ==
			e->event_data.fork.child_tgid)
			on_fork(e->event_data.fork.parent_tgid,
			    e->event_data.fork.child_tgid);
	}
}

void
start(Run *r)
{
	int out[2], err[2];

	if (pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1)
		die("pipe2");
	r->begun = r->sample_at = now();
	r->pid = fork();
	if (r->pid == -1)
		die("fork");
	if (r->pid == 0) {
		int null = open("/dev/null", O_RDONLY);
		(void)dup2(null, 0);
		(void)dup2(out[1], 1);
		(void)dup2(err[1], 2);
		(void)execvp(r->argv[0], r->argv);
		_exit(127);
	}
	/* Before any of its fork events is read, so none is missed. */
	owner[r->pid] = (unsigned char)(r - runs + 1);
	(void)close(out[1]);
	(void)close(err[1]);
	r->out = out[0];
	r->err = err[0];
	if ((r->pidfd = pidfd_open(r->pid)) == -1)
		die("pidfd_open");
}

/* The summary's span of the zombie we know, or else of the first one. */
void
parse_summary(Run *r, const char *s)
{
	const char *c = strstr(s, "child ");
	const char *f = strstr(s, " from ");
	const char *t = f != NULL ? strstr(f, " to ") : NULL;
	const char *d = t != NULL ? strstr(t, "for ") : NULL;
	Summary m = {};

	if (t == NULL)
		return;
	m.child = c != NULL ? (pid_t)strtol(c + 6, NULL, 10) : 0;
	m.from = strtod(f + 6, NULL);
	m.to = strtod(t + 4, NULL);
	m.span = d != NULL ? strtod(d + 4, NULL) : m.to - m.from;
	if (!r->has_sum || (m.child == r->target && r->sum.child != r->target))
		r->sum = m;
	r->has_sum = true;
}

void
parse(Run *r, const char *s)
{
	const char *p;

	if ((p = strstr(s, "created child ")) != NULL)
		r->reported.push_back((pid_t)strtol(p + 14, NULL, 10));
	else if (strstr(s, "was a zombie from") != NULL)
		parse_summary(r, s);
	else if (r->named == 0 && strstr(s, "started") != NULL &&
		 (p = strstr(s, " as process ")) != NULL)
		r->named = (pid_t)strtol(p + 12, NULL, 10);
}

/* Splits what it printed into lines; one too long keeps its start. */
void
take(Run *r, const char *p, size_t n)
{
	while (n > 0) {
		const char *nl = (const char *)memchr(p, '\n', n);
		size_t k = nl != NULL ? (size_t)(nl - p) : n;
		size_t room = sizeof(r->line) - 1 - r->linelen;
		size_t c = std::min(k, room);
		memcpy(r->line + r->linelen, p, c);
		r->linelen += c;
		if (nl == NULL)
			return;
		r->line[r->linelen] = '\0';
		parse(r, r->line);
		r->linelen = 0;
		p += k + 1;
		n -= k + 1;
	}
}

void
on_output(Run *r)
{
	static char buf[65536];
	ssize_t n = read(r->out, buf, sizeof(buf));

	if (n > 0) {
		take(r, buf, (size_t)n);
		return;
	}
	r->line[r->linelen] = '\0';
	if (r->linelen > 0)
		parse(r, r->line);
	close_fd(&r->out);
}

/* Keeps the start of what it said on error, where the cause is. */
void
on_error(Run *r)
{
	char buf[4096];
	ssize_t n = read(r->err, buf, sizeof(buf));

	if (n <= 0) {
		close_fd(&r->err);
		return;
	}
	size_t c = std::min((size_t)n, sizeof(r->errtext) - 1 - r->errlen);
	memcpy(r->errtext + r->errlen, buf, c);
	r->errlen += c;
	r->errtext[r->errlen] = '\0';
}

/*
 * Its own CPU time, not its children's, read while it is a zombie.
 * schedstat has it in nanoseconds, for its main thread; stat, for all
 * its threads, in ticks.  The larger is right: stat's truncates, and
 * schedstat's misses any other thread.
 */
double
own_cpu_ms(pid_t pid)
{
	char buf[1024];
	unsigned long long ns = 0, utime = 0, stime = 0;

	if (slurp(pid, "schedstat", buf, sizeof(buf)))
		ns = strtoull(buf, NULL, 10);
	const char *p =
	    slurp(pid, "stat", buf, sizeof(buf)) ? strrchr(buf, ')') : NULL;
	/* utime and stime are the 14th and 15th; the 3rd follows ")". */
	for (int field = 2; p != NULL && field < 14; field++)
		p = strchr(p + 1, ' ');
	if (p != NULL) {
		char *end;
		utime = strtoull(p + 1, &end, 10);
		stime = strtoull(end, NULL, 10);
	}
	double ticks =
	    (double)(utime + stime) * 1e3 / (double)sysconf(_SC_CLK_TCK);
	return p == NULL && ns == 0 ? NAN : std::max((double)ns / 1e6, ticks);
}

double
ms(const struct timeval &tv)
{
	return (double)tv.tv_sec * 1e3 + (double)tv.tv_usec / 1e3;
}

/*
 * wait4 reports rusage for the process and the children it collected
 * together: its CPU time is theirs too, and its peak RSS the larger of
 * its own and theirs.
 */
void
on_end(Run *r)
{
	struct rusage ru;

	r->ended = now();
	r->own_ms = own_cpu_ms(r->pid);
	if (wait4(r->pid, &r->status, 0, &ru) == -1)
		die("wait4");
	r->reaped = true;
	r->all_ms = ms(ru.ru_utime) + ms(ru.ru_stime);
	r->maxrss_kb = ru.ru_maxrss;
	close_fd(&r->pidfd);
	/* A program its watcher left would run into the next measurement. */
	(void)pidfd_kill(r->first_fd, SIGKILL);
	close_fd(&r->first_fd);
}

void
on_target(Run *r, short revents, double t)
{
	if ((revents & POLLIN) && r->zombie_at < 0)
		r->zombie_at = t;
	if (revents & (POLLHUP | POLLERR)) {
		r->gone_at = t;
		close_fd(&r->target_fd);
	}
}

/* Peak RSS as it runs: VmHWM only grows, and a zombie has none left. */
void
sample(Run *r, double t)
{
	char buf[2048];

	r->sample_at = t + sample_every;
	const char *p = slurp(r->pid, "status", buf, sizeof(buf))
			    ? strstr(buf, "VmHWM:")
			    : NULL;
	if (p != NULL)
		r->hwm_kb = std::max(r->hwm_kb, strtol(p + 6, NULL, 10));
}

/* The stop and continue signals, sampling, and the time limit. */
void
timers(Run *r, double t)
{
	double in = t - r->begun;

	if (r->reaped)
		return;
	if (r->stops && r->stopped < 0 && in >= stop_at &&
	    pidfd_kill(r->pidfd, SIGSTOP) == 0)
		r->stopped = in;
	if (r->stops && r->stopped >= 0 && r->continued < 0 && in >= cont_at &&
	    pidfd_kill(r->pidfd, SIGCONT) == 0)
		r->continued = in;
	if (strcmp(r->who, "unwatched") != 0 && t >= r->sample_at)
		sample(r, t);
	if (in >= limit && !r->killed) {
		(void)pidfd_kill(r->pidfd, SIGKILL);
		r->killed = true;
	}
}

/* Until a timer is due, and a second at most, for the plans' sake. */
int
timeout(Run *const *rs, int n, double t)
{
	double due = t + 1;

	for (int i = 0; i < n; i++) {
		const Run *r = rs[i];
		if (r->reaped)
			continue;
		due = std::min(due, r->begun + limit);
		if (strcmp(r->who, "unwatched") != 0)
			due = std::min(due, r->sample_at);
		if (r->stops && r->stopped < 0)
			due = std::min(due, r->begun + stop_at);
		else if (r->stops && r->continued < 0)
			due = std::min(due, r->begun + cont_at);
	}
	return (int)ceil(std::max(0.0, due - t) * 1e3);
}

/*
 * The processes the program created, itself included, from the fork
 * events: its subtree, whose forks come parents first.  A pid may come
 * twice, the machine's pids having gone round; each time is counted.
 * Also, how many of them it reported, and how many more it reported.
 */
void
count(Run *r, unsigned char self)
{
	pid_t program = strcmp(r->who, "unwatched") == 0 ? r->pid : r->first;

	for (const Fork &f : r->forks)
		if (f.parent == r->pid && f.child == r->named)
			program = r->named;
	if (program == 0)
		return;
	in_tree[program] = program == r->pid;
	times[program] = in_tree[program];
	r->created = in_tree[program];
	for (const Fork &f : r->forks) {
		in_tree[f.child] = in_tree[f.parent] != 0 ||
				   (f.parent == r->pid && f.child == program);
		times[f.child] += in_tree[f.child];
		r->created += in_tree[f.child];
	}
	if (r->named != 0)
		r->reported.push_back(r->named);
	for (pid_t pid : r->reported) {
		bool known = in_range(pid) && times[pid] > 0;
		r->seen += known;
		r->unknown += !known;
		times[pid] -= known;
	}
	in_tree[program] = times[program] = 0;
	for (const Fork &f : r->forks) {
		in_tree[f.child] = times[f.child] = 0;
		if (owner[f.child] == self)
			owner[f.child] = 0;
	}
}

/* Ends a run once it has been collected and has closed its output. */
void
finish(Run *r)
{
	if (r->done || !r->reaped || r->out != -1 || r->err != -1)
		return;
	/* Its last fork events were sent before it ended: take them now. */
	events_read();
	auto self = (unsigned char)(r - runs + 1);
	count(r, self);
	if (owner[r->pid] == self)
		owner[r->pid] = 0;
	r->done = true;
	close_fd(&r->first_fd);
	close_fd(&r->target_fd);
}

void
serve(Run *r, const struct pollfd *f, double t)
{
	if (f[0].revents != 0)
		on_output(r);
	if (f[1].revents != 0)
		on_error(r);
	if (f[3].revents != 0)
		on_target(r, f[3].revents, t);
	if (f[2].revents != 0)
		on_end(r);
	timers(r, t);
	finish(r);
}

/*
 * Watches what runs until plan, which starts runs, says that it will
 * start no more and all have ended.
 */
void
watch(bool (*plan)(double))
{
	constexpr int most = (int)(sizeof(runs) / sizeof(runs[0]));

	for (;;) {
		struct pollfd fds[1 + 4 * most];
		Run *act[most];
		int n = 0;
		bool going = plan(now());
		for (Run &r : runs)
			if (r.pid != 0 && !r.done)
				act[n++] = &r;
		if (n == 0 && !going)
			return;
		fds[0] = {events, POLLIN, 0};
		for (int i = 0; i < n; i++) {
			struct pollfd *f = &fds[1 + 4 * i];
			f[0] = {act[i]->out, POLLIN, 0};
			f[1] = {act[i]->err, POLLIN, 0};
			f[2] = {act[i]->pidfd, POLLIN, 0};
			/* A zombie stays readable: then await the hangup. */
			f[3] = {act[i]->target_fd,
			    (short)(act[i]->zombie_at < 0 ? POLLIN : 0), 0};
		}
		double t = now();
		(void)poll(fds, (nfds_t)1 + 4 * (nfds_t)n, timeout(act, n, t));
		t = now();
		if (fds[0].revents != 0)
			events_read();
		for (int i = 0; i < n; i++)
			serve(act[i], &fds[1 + 4 * i], t);
	}
}

/* The 5000 runs in the order they run: each kind goes first once. */
Run *
next_burst()
{
	for (int i = 0; i < reps * 3; i++) {
		int rep = i / 3, kind = (rep + i % 3) % 3;
		if (runs[rep * 3 + kind].pid == 0)
			return &runs[rep * 3 + kind];
	}
	return nullptr;
}

bool
running(const Run *from, const Run *to)
{
	for (const Run *r = from; r < to; r++)
		if (r->pid != 0 && !r->done)
			return true;
	return false;
}

/*
 * Whether a 5000 run started now would end while the default runs
 * sleep: not near 30 s, as their child ends, nor near 60 s, as it is
 * collected, for load could stretch either moment.  It may take a fifth
 * longer than the longest so far.
 */
bool
fits(double t)
{
	double e = t - demos_begun, need = 0;

	for (const Run *r = runs; r < runs + demos; r++)
		if (r->done)
			need = std::max(need, 1.2 * (r->ended - r->begun));
	/* Before the first has ended, a guess: they take about 8 s. */
	need = need > 0 ? need : 15;
	return (e >= 0.5 && e + need <= 26) || (e >= 33.5 && e + need <= 59);
}

/* The default runs, and 5000 runs while they sleep. */
bool
plan_demos(double t)
{
	Run *next = next_burst();
	double e = t - demos_begun;

	if (runs[demos].pid == 0) {
		demos_begun = t;
		for (ptrdiff_t i = demos; i < series_run; i++)
			start(&runs[i]);
		return true;
	}
	bool busy = running(runs, runs + demos);
	bool sleep = running(runs + demos, runs + series_run);
	if (busy && sleep && ((e >= 26 && e < 33.5) || e >= 59))
		overlapped = true;
	if (!busy && sleep && next != nullptr && fits(t))
		start(next);
	return sleep;
}

/* Then the rest, one at a time: 5000 runs, and the 21000 run last. */
bool
plan_rest(double t)
{
	(void)t;
	if (running(runs, runs + series_run + 1))
		return true;
	Run *next = next_burst();
	if (next == nullptr && runs[series_run].pid == 0)
		next = &runs[series_run];
	if (next != nullptr)
		start(next);
	return next != nullptr;
}

double
median(std::vector<double> v)
{
	if (v.empty())
		return NAN;
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* One kind's figures over the repetitions: 0 unwatched, 1 old, 2 new. */
struct Burst {
	double wall, least, most, us_per;
	const Run *worst; /* the run that reported the smallest share */
	bool complete;    /* every run reported every process */
	bool failed;      /* some run did not end well */
};

/* A run that did not end well: its figures cannot meet any target. */
bool
failed(const Run *r)
{
	return !r->reaped || r->killed || !WIFEXITED(r->status) ||
	       WEXITSTATUS(r->status) != 0;
}

/* The share of what it created that it reported; -1 if not counted. */
double
reach(const Run *r)
{
	return r->created > 0 ? (double)r->seen / (double)r->created : -1;
}

Burst
burst_of(int kind)
{
	std::vector<double> wall, per;
	Burst b = {NAN, NAN, NAN, NAN, nullptr, true, false};

	for (int rep = 0; rep < reps; rep++) {
		const Run *r = &runs[rep * 3 + kind];
		wall.push_back(r->ended - r->begun);
		if (r->own_ms >= 0 && r->created > 0)
			per.push_back(r->own_ms * 1e3 / (double)r->created);
		if (b.worst == nullptr || reach(r) < reach(b.worst))
			b.worst = r;
		b.complete = b.complete && r->created > 0 &&
			     r->seen == r->created && r->unknown == 0;
		b.failed = b.failed || failed(r);
	}
	b.wall = median(wall);
	b.least = *std::min_element(wall.begin(), wall.end());
	b.most = *std::max_element(wall.begin(), wall.end());
	b.us_per = per.size() == reps ? median(per) : NAN;
	return b;
}

int missing; /* figures that could not be had */

/* A figure as text, or "missing" for NAN. */
const char *
fig(char *buf, size_t size, double v, const char *fmt)
{
	if (isnan(v))
		return "missing";
	(void)snprintf(buf, size, fmt, v);
	return buf;
}

const char *
share(char *buf, size_t size, const Run *r)
{
	if (r == nullptr || r->created == 0 || events_lost)
		return "missing";
	(void)snprintf(buf, size, "%ld/%ld", r->seen, r->created);
	return buf;
}

/* One row: figure, old's, new's, target, verdict on new's. */
void
row(const char *what, const char *old, const char *neu, const char *target,
    bool met)
{
	bool absent =
	    strcmp(neu, "missing") == 0 || strcmp(old, "missing") == 0;
	missing += absent;
	(void)printf("%-38s %-11s %-11s %-15s %s\n", what, old, neu, target,
	    absent ? "MISSING"
	    : met  ? "PASS"
		   : "FAIL");
}

void
burst_rows()
{
	Burst u = burst_of(0), o = burst_of(1), n = burst_of(2);
	char a[32], b[32];
	double so = o.wall / u.wall - 1, sn = n.wall / u.wall - 1;
	double ratio = o.us_per > 0 ? n.us_per / o.us_per : NAN;

	bool well = !n.failed && !u.failed;

	row("5000 at once: processes reported", share(a, sizeof(a), o.worst),
	    share(b, sizeof(b), n.worst), "all", well && n.complete);
	row("5000 at once: watcher CPU per process",
	    fig(a, sizeof(a), o.us_per, "%.1f us"),
	    fig(b, sizeof(b), n.us_per, "%.1f us"), "<= 20 us",
	    well && n.us_per <= 20);
	row("5000 at once: same, new against old", "",
	    fig(b, sizeof(b), ratio, "%.2f x old"), "<= 0.50 x old",
	    well && !o.failed && ratio <= 0.5);
	row("5000 at once: program slowdown",
	    fig(a, sizeof(a), so * 100, "%.1f %%"),
	    fig(b, sizeof(b), sn * 100, "%.1f %%"), "<= 15 %",
	    well && sn <= 0.15);
}

/*
 * wait4's peak RSS is the larger of its own and its children's, from
 * counters the kernel sums only roughly; VmHWM, read while it ran, sums
 * them exactly but may miss the end.  The larger of the two bounds its
 * own from above.
 */
long
peak_kb(const Run *r)
{
	return std::max(r->maxrss_kb, r->hwm_kb);
}

double
span_error_ms(const Run *r)
{
	if (!r->has_sum || r->zombie_at < 0 || r->gone_at < 0)
		return NAN;
	return fabs(r->sum.span - (r->gone_at - r->zombie_at)) * 1e3;
}

void
other_rows()
{
	const Run *od = &runs[demos], *nd = od + 1, *ns = od + 2, *nl = od + 3;
	char a[32], b[32];
	bool whole =
	    nl->created > 0 && nl->seen == nl->created && nl->unknown == 0;
	double mb = peak_kb(nl) >= 0 ? (double)peak_kb(nl) * 1024 / 1e6 : NAN;

	row("21000 in turn: processes reported", "not run",
	    share(b, sizeof(b), nl), "all", !failed(nl) && whole);
	row("21000 in turn: watcher peak RSS", "not run",
	    fig(b, sizeof(b), mb, "%.1f MB"), "<= 16 MB",
	    !failed(nl) && mb <= 16);
	row("default run: watcher CPU",
	    fig(a, sizeof(a), od->own_ms, "%.1f ms"),
	    fig(b, sizeof(b), nd->own_ms, "%.1f ms"), "<= 20 ms",
	    !failed(nd) && nd->own_ms <= 20);
	row("default run: span against kernel's",
	    fig(a, sizeof(a), span_error_ms(od), "%.2f ms off"),
	    fig(b, sizeof(b), span_error_ms(nd), "%.2f ms off"), "<= 1 ms off",
	    !failed(nd) && span_error_ms(nd) <= 1);
	row("stopped 27-32 s: span against kernel's", "not run",
	    fig(b, sizeof(b), span_error_ms(ns), "%.2f ms off"), "<= 1 ms off",
	    !failed(ns) && span_error_ms(ns) <= 1);
}

/* How it ended, if not well, and the start of what it said on error. */
void
ended_how(const Run *r, const char *sep)
{
	const char *nl = strchr(r->errtext, '\n');

	if (r->killed)
		(void)printf("%skilled after %.0f s", sep, limit);
	else if (WIFSIGNALED(r->status))
		(void)printf("%skilled by signal %d", sep, WTERMSIG(r->status));
	else if (WEXITSTATUS(r->status) != 0)
		(void)printf("%sexit status %d", sep, WEXITSTATUS(r->status));
	if (r->errlen > 0)
		(void)printf("%ssaid \"%.*s\"", r->status != 0 ? ", " : sep,
		    (int)(nl != NULL ? nl - r->errtext : (long)r->errlen),
		    r->errtext);
}

/* Every run's own figures, from which the table's come. */
void
detail(const Run *r)
{
	const char *sep = "\n           ";

	(void)printf("%6.1f s  %-9s %-7s  wall %7.3f s, own CPU %6.1f ms, "
		     "%7.1f with children",
	    r->begun - begun, r->who, r->work, r->ended - r->begun, r->own_ms,
	    r->all_ms);
	if (r->created > 0) {
		(void)printf(
		    "%s%ld created, %ld reported", sep, r->created, r->seen);
		sep = "; ";
	}
	if (r->unknown > 0)
		(void)printf(", %ld reported not created", r->unknown);
	if (r->hwm_kb >= 0) {
		(void)printf("%speak RSS %ld kB (wait4 %ld, VmHWM %ld)", sep,
		    peak_kb(r), r->maxrss_kb, r->hwm_kb);
		sep = "; ";
	}
	if (r->demo && r->has_sum)
		(void)printf("%sspan %.3f s", sep, r->sum.span);
	else if (r->demo)
		(void)printf("%sno span told", sep);
	if (r->demo && r->zombie_at >= 0 && r->gone_at >= 0)
		(void)printf(", kernel's %.3f s", r->gone_at - r->zombie_at);
	sep = r->demo ? "; " : sep;
	if (r->continued >= 0)
		(void)printf("; stopped at %.3f s, continued at %.3f s",
		    r->stopped, r->continued);
	ended_how(r, sep);
	(void)printf("\n");
}

void
report()
{
	(void)printf("\n%-38s %-11s %-11s %-15s %s\n", "figure", "old", "new",
	    "target (new)", "new");
	burst_rows();
	other_rows();
	for (const Run &r : runs)
		if (failed(&r))
			(void)printf("%s (%s) did not end well: see below\n",
			    r.who, r.work);
	double spread = 0;
	(void)printf("\n5000 at once, wall time: median (least-most)\n");
	for (int kind = 0; kind < 3; kind++) {
		Burst b = burst_of(kind);
		(void)printf("  %-9s %7.3f s (%.3f-%.3f)\n", runs[kind].who,
		    b.wall, b.least, b.most);
		spread = std::max(spread, (b.most - b.least) / b.wall);
	}
	/* Runs of one kind differ by what else the machine did. */
	if (spread > 0.1)
		(void)printf("  runs of one kind differ by up to %.0f %%: the "
			     "machine was busy, and the\n  slowdown is no "
			     "surer than that\n",
		    spread * 100);
	/* What else ran is what makes the figures differ between runs. */
	(void)printf(
	    "  meanwhile, processes of no run forked %ld times, %.1f a "
	    "second\n",
	    others, (double)others / (now() - begun));
	if (overlapped)
		(void)printf("  a 5000 run outlasted the time it was given, "
			     "and loaded the default\n  runs at 30 s or 60 s: "
			     "their spans may be off\n");
	(void)printf("\nEach run, by when it started:\n");
	std::vector<const Run *> order;
	for (const Run &r : runs)
		order.push_back(&r);
	std::sort(order.begin(), order.end(),
	    [](const Run *a, const Run *b) { return a->begun < b->begun; });
	for (const Run *r : order)
		detail(r);
	(void)printf(
	    "\nprocesses created: the program and every process below it, "
	    "from the kernel's\nfork events; reported: those among them "
	    "that the watcher said it created,\nand the program it said it "
	    "started.  Slowdown: median wall time of the run\nunder the "
	    "watcher against unwatched, less one.  Spans: the summary's, "
	    "against\nthe child's pidfd, readable when it ends, hung up "
	    "when it is collected.\nPeak RSS: the larger of wait4's, "
	    "which is the larger of\nthe watcher's own and its children's, "
	    "and the highest VmHWM seen while it ran.\n");
	if (events_lost)
		(void)printf("Some fork events were lost: no count holds.\n");
}

void
setup(Run *r, const char *who, const char *work, char *const *argv)
{
	r->who = who;
	r->work = work;
	r->argv = argv;
	r->demo = strcmp(work, "default") == 0 || strcmp(work, "stopped") == 0;
	r->stops = strcmp(work, "stopped") == 0;
}

void
tables()
{
	char buf[32];
	FILE *f = fopen("/proc/sys/kernel/pid_max", "re");
	if (f != NULL && fgets(buf, sizeof(buf), f) != NULL)
		pid_max = (pid_t)strtol(buf, NULL, 10);
	if (f != NULL)
		(void)fclose(f);
	owner = (unsigned char *)calloc((size_t)pid_max + 1, 1);
	in_tree = (unsigned char *)calloc((size_t)pid_max + 1, 1);
	times = (unsigned char *)calloc((size_t)pid_max + 1, 1);
	if (owner == nullptr || in_tree == nullptr || times == nullptr)
		die("calloc");
}

} // namespace

int
main(int argc, char *argv[])
{
	static char bash[] = "bash", c[] = "-c", dd[] = "--";
	static char b[sizeof(burst)], s[sizeof(series)];

	if (argc != 4) {
		(void)fprintf(stderr, "usage: watch_bench OLD NEW ZOMBIE\n");
		return 2;
	}
	memcpy(b, burst, sizeof(b));
	memcpy(s, series, sizeof(s));
	char *alone[] = {bash, c, b, nullptr};
	char *under_old[] = {argv[1], dd, bash, c, b, nullptr};
	char *under_new[] = {argv[2], dd, bash, c, b, nullptr};
	char *demo_old[] = {argv[1], argv[3], nullptr};
	char *demo_new[] = {argv[2], argv[3], nullptr};
	char *long_new[] = {argv[2], dd, bash, c, s, nullptr};
	char *const *burst_argv[] = {alone, under_old, under_new};
	const char *zombie = strrchr(argv[3], '/');
	zombie = zombie != NULL ? zombie + 1 : argv[3];
	const char *kinds[] = {"unwatched", "old", "new"};

	begun = now();
	bench = getpid();
	tables();
	events_open();
	for (int rep = 0; rep < reps; rep++)
		for (int kind = 0; kind < 3; kind++)
			setup(&runs[rep * 3 + kind], kinds[kind], "5000",
			    burst_argv[kind]);
	setup(&runs[demos], "old", "default", demo_old);
	setup(&runs[demos + 1], "new", "default", demo_new);
	setup(&runs[demos + 2], "new", "stopped", demo_new);
	setup(&runs[series_run], "new", "21000", long_new);
	(void)printf("default runs of %s: one under each watcher, one more "
		     "under new stopped\nfrom %.0f s to %.0f s, all at "
		     "once\n5000 at once: bash -c '%s',\n%d runs of each, one "
		     "at a time, in turn; medians\n21000 in turn: bash -c "
		     "'%s', last, alone\n",
	    zombie, stop_at, cont_at, burst, reps, series);
	(void)fflush(stdout);
	watch(plan_demos);
	watch(plan_rest);
	report();
	if (missing > 0)
		(void)fprintf(
		    stderr, "watch_bench: %d figures missing\n", missing);
	return missing > 0 ? 1 : 0;
}
