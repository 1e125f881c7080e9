// SPDX-License-Identifier: BSD-2-Clause
/*
 * The kernel's side of zombie-watch: holding processes by pidfd, reading
 * them through their pinned /proc directories, and learning of every new
 * process from the kernel as it is created.
 */

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/perf_event.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include "watch.h"

double
now(const struct Watch *w)
{
	struct timespec ts;

	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9 - w->t0;
}

/*
 * Reads a /proc file kept open: read again from its start, it is made
 * afresh, and fails once the process has been collected.
 */
static bool
reread(int fd, char *buf, size_t len)
{
	ssize_t n = fd == -1 ? -1 : pread(fd, buf, len - 1, 0);

	buf[n > 0 ? n : 0] = '\0';
	return n > 0;
}

/*
 * Field n of a stat line, counted from the state, 1, after the command
 * name, which may itself hold ") ": so it is found from the last one.
 */
static const char *
stat_field(const char *line, int n)
{
	const char *s = strrchr(line, ')');

	for (int field = 0; field < n && s != NULL; field++)
		s = strchr(s + 1, ' ');
	return s != NULL ? s + 1 : NULL;
}

static long long
number(const char *s)
{
	return s != NULL ? strtoll(s, NULL, 10) : -1;
}

/* Field n of a stat file kept open, as a number, or -1. */
long long
proc_stat_number(int statfd, int n)
{
	char buf[1024];

	return reread(statfd, buf, sizeof(buf)) ? number(stat_field(buf, n))
						: -1;
}

/*
 * The kernel's state letter, parent and exit code (in the form wait
 * reports it, kept while the process is a zombie), or 0 once collected.
 */
char
proc_state(const struct Proc *p, pid_t *ppid, int *exit_code)
{
	char buf[1024];

	if (p->pidfd == -1 || !reread(p->statfd, buf, sizeof(buf)) ||
	    stat_field(buf, 2) == NULL)
		return 0;
	if (ppid != NULL)
		*ppid = (pid_t)number(stat_field(buf, 2));
	if (exit_code != NULL)
		*exit_code = (int)number(stat_field(buf, 50));
	return *stat_field(buf, 1);
}

/*
 * When the process started, in seconds since our start, to the kernel's
 * clock tick: found late, it was still born when it was born.
 */
static double
proc_born(const struct Watch *w, const struct Proc *p)
{
	struct timespec boot, mono;
	/* The start time is the 20th field, in clock ticks since boot. */
	long long ticks = proc_stat_number(p->statfd, 20);

	if (ticks < 0 || clock_gettime(CLOCK_BOOTTIME, &boot) == -1 ||
	    clock_gettime(CLOCK_MONOTONIC, &mono) == -1)
		return now(w);
	double suspended = (double)(boot.tv_sec - mono.tv_sec) +
			   (double)(boot.tv_nsec - mono.tv_nsec) / 1e9;
	double born =
	    (double)ticks / (double)sysconf(_SC_CLK_TCK) - suspended - w->t0;
	return born < 0 ? 0 : born > now(w) ? now(w) : born;
}

/* Nanoseconds it has spent running or ready to run, or -1 if unknown. */
long long
proc_ran(const struct Proc *p)
{
	char buf[128], *end;

	if (p->pidfd == -1 || !reread(p->schedfd, buf, sizeof(buf)))
		return -1;
	long long cpu = strtoll(buf, &end, 10);
	return end == buf ? -1 : cpu + strtoll(end, NULL, 10);
}

/*
 * "PID 1 (init)": a process outside the watched tree, named by its command
 * as /proc has it, pinned while it is read.
 */
void
proc_name(pid_t pid, char *buf, size_t len)
{
	char path[32], comm[64] = "";
	int pidfd = pidfd_open_(pid), fd;

	(void)snprintf(path, sizeof(path), "/proc/%d/comm", (int)pid);
	if (pidfd != -1 && (fd = open(path, O_RDONLY | O_CLOEXEC)) != -1) {
		ssize_t n = read(fd, comm, sizeof(comm) - 1);
		comm[n > 0 ? n : 0] = '\0';
		comm[strcspn(comm, "\n")] = '\0';
		(void)close(fd);
		if (pidfd_signal(pidfd, 0) == -1)
			comm[0] = '\0';
	}
	if (pidfd != -1)
		(void)close(pidfd);
	if (comm[0] != '\0')
		(void)snprintf(buf, len, "PID %d (%s)", (int)pid, comm);
	else
		(void)snprintf(buf, len, "PID %d", (int)pid);
}

/*
 * Minor page faults, from a stat file kept open: the process's own and
 * those of the children it has collected, or of its collected children
 * only.  Collecting a child adds both of the child's to the parent's
 * second count, which is how a collector is known after the fact.
 */
long long
proc_faults(int statfd, bool children)
{
	char buf[1024];

	if (!reread(statfd, buf, sizeof(buf)) || stat_field(buf, 9) == NULL)
		return -1;
	/* minflt and cminflt are the 8th and 9th fields. */
	long long theirs = number(stat_field(buf, 9));
	return children ? theirs : number(stat_field(buf, 8)) + theirs;
}

/* Whether the process ignores signal sig, as its SigIgn mask says. */
bool
proc_ignores(const struct Proc *p, int sig)
{
	char buf[2048];
	unsigned long long mask = 0;

	int fd = p->pidfd == -1
		     ? -1
		     : openat(p->procfd, "status", O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		return false;
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	(void)close(fd);
	buf[n > 0 ? n : 0] = '\0';
	const char *s = strstr(buf, "\nSigIgn:");
	if (s == NULL)
		return false;
	mask = strtoull(s + 8, NULL, 16);
	return (mask >> (sig - 1)) & 1;
}

/*
 * The wait status of a process that someone else collected before it
 * could be read, as pidfs keeps it for its pidfds (Linux 6.15 and later),
 * or -1.  The layout is the kernel's, which older headers do not have.
 */
int
proc_exit_status(const struct Proc *p)
{
	struct {
		uint64_t mask, cgroupid;
		uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid;
		uint32_t fsuid, fsgid;
		int32_t exit_code;
		uint32_t coredump_mask, spare;
	} info;
	const unsigned long get_info = _IOWR(0xFF, 11, info);

	memset(&info, 0, sizeof(info));
	info.mask = 1 << 3; /* the exit */
	if (p->pidfd == -1 || ioctl(p->pidfd, get_info, &info) == -1 ||
	    !(info.mask & (1 << 3)))
		return -1;
	return info.exit_code;
}

/* True while the process exists, as a zombie too. */
bool
proc_alive(const struct Proc *p)
{
	return p->pidfd != -1 && pidfd_signal(p->pidfd, 0) == 0;
}

struct Proc *
proc_find(struct Watch *w, pid_t pid)
{
	for (size_t i = 0; i < w->nprocs; i++)
		if (w->procs[i].pid == pid && w->procs[i].collected < 0)
			return &w->procs[i];
	return NULL;
}

static bool
grow(struct Watch *w)
{
	if (w->nprocs < w->cap)
		return true;
	size_t cap = w->cap == 0 ? 16 : w->cap * 2;
	void *p = realloc(w->procs, cap * sizeof(*w->procs));
	if (p == NULL)
		return false;
	w->procs = (struct Proc *)p;
	w->cap = cap;
	return true;
}

/* Once: a process that cannot be held is a process that goes unseen. */
static void
out_of_files(struct Watch *w)
{
	if ((errno == EMFILE || errno == ENFILE || errno == ENOMEM) &&
	    !w->lost) {
		w->lost = true;
		(void)fprintf(stderr,
		    "zombie-watch: cannot follow every process: %s\n",
		    strerror(errno));
	}
}

/*
 * Pins pid, a child of parent, and starts its record.  A number whose
 * process has gone, or now names a process outside the watched tree, is
 * left alone: NULL.
 */
struct Proc *
proc_add(struct Watch *w, pid_t pid, pid_t parent)
{
	char path[32];
	struct Proc p = {};

	p.pid = pid;
	p.born = p.looked = now(w);
	p.ended = p.collected = p.orphaned = p.exit_at = -1;
	p.status = p.procfd = p.statfd = p.schedfd = -1;
	p.ran = p.faults = p.parent_faults = p.children_faults = -1;
	if (!grow(w) || (p.pidfd = pidfd_open_(pid)) == -1) {
		out_of_files(w);
		return NULL;
	}
	(void)snprintf(path, sizeof(path), "/proc/%d", (int)pid);
	p.procfd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	p.statfd = openat(p.procfd, "stat", O_RDONLY | O_CLOEXEC);
	p.schedfd = openat(p.procfd, "schedstat", O_RDONLY | O_CLOEXEC);
	if (p.procfd == -1 || p.statfd == -1 || p.schedfd == -1)
		out_of_files(w);
	/* Alive after the opens: the files are this process's own. */
	pid_t ppid = 0;
	struct Proc *creator = proc_find(w, parent);
	if (p.procfd == -1 || !proc_alive(&p) ||
	    proc_state(&p, &ppid, NULL) == 0 ||
	    (ppid != parent && ppid != w->self && proc_find(w, ppid) == NULL &&
		(creator == NULL || creator->ended < 0))) {
		proc_release(&p);
		return NULL;
	}
	/* Its creator's death, if still to come, will say where it went. */
	p.ppid = creator != NULL && creator->ended < 0 ? parent : ppid;
	p.born = proc_born(w, &p);
	p.looked = -1;
	if (creator != NULL)
		p.parent_faults = proc_faults(creator->statfd, true);
	picture_look(&p, p.born);
	w->procs[w->nprocs] = p;
	return &w->procs[w->nprocs++];
}

void
proc_release(struct Proc *p)
{
	int *fds[] = {&p->schedfd, &p->statfd, &p->procfd, &p->pidfd};

	for (int *fd : fds) {
		if (*fd != -1)
			(void)close(*fd);
		*fd = -1;
	}
}

/*
 * New processes are learnt from the kernel's own fork records, through a
 * software perf event that follows the program into every process it
 * creates.  It costs nothing while nothing forks, does not change the
 * watched processes in any way, and dies with the watcher.  Per-task
 * inherited events can only be mapped per CPU.
 */
enum { RING_PAGES = 8 };

static struct {
	int fd;
	struct perf_event_mmap_page *page;
	uint64_t tail;
} ring[MAX_RINGS];
static int nrings;
static size_t page_size;

static void
forks_close(void)
{
	for (int i = 0; i < nrings; i++) {
		(void)munmap(ring[i].page, (RING_PAGES + 1) * page_size);
		(void)close(ring[i].fd);
	}
	nrings = 0;
}

static bool
ring_open(pid_t pid, int cpu)
{
	struct perf_event_attr a;

	memset(&a, 0, sizeof(a));
	a.size = sizeof(a);
	a.type = PERF_TYPE_SOFTWARE;
	a.config = PERF_COUNT_SW_DUMMY;
	a.task = 1;
	a.inherit = 1;
	/* Leaving out the kernel lets unprivileged users open it too. */
	a.exclude_kernel = 1;
	a.exclude_hv = 1;
	/* Wake at every record, not when the buffer is half full. */
	a.watermark = 1;
	a.wakeup_watermark = 1;
	/* Times on the clock the watcher keeps its own by. */
	a.use_clockid = 1;
	a.clockid = CLOCK_MONOTONIC;
	int fd = (int)syscall(
	    SYS_perf_event_open, &a, pid, cpu, -1, PERF_FLAG_FD_CLOEXEC);
	if (fd == -1)
		return false;
	void *m = mmap(NULL, (RING_PAGES + 1) * page_size,
	    PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (m == MAP_FAILED) {
		(void)close(fd);
		return false;
	}
	ring[nrings].fd = fd;
	ring[nrings].page = (struct perf_event_mmap_page *)m;
	ring[nrings++].tail = 0;
	return true;
}

/* Before Linux 6.9 a pidfd does not hang up when its process is collected. */
bool
pidfd_hangs_up(void)
{
	struct utsname u;
	char *dot;

	if (uname(&u) == -1)
		return false;
	long major = strtol(u.release, &dot, 10);
	long minor = *dot == '.' ? strtol(dot + 1, NULL, 10) : 0;
	return major > 6 || (major == 6 && minor >= 9);
}

/*
 * Follows pid and all it creates, on every CPU there is, as the kernel
 * counts them (an offline one runs nothing); false where the system
 * forbids it.
 */
bool
forks_open(pid_t pid)
{
	page_size = (size_t)sysconf(_SC_PAGESIZE);
	for (int cpu = 0; cpu < MAX_RINGS; cpu++)
		if (!ring_open(pid, cpu) && errno != ENODEV) {
			if (errno == EINVAL && cpu > 0)
				return true;
			forks_close();
			return false;
		}
	/* More CPUs than rings: better to look than to miss some forks. */
	forks_close();
	return false;
}

int
forks_fds(int *fds, int max)
{
	int n = 0;

	for (; n < nrings && n < max; n++)
		fds[n] = ring[n].fd;
	return n;
}

static void
found(struct Watch *w, pid_t pid, pid_t parent)
{
	if (proc_find(w, pid) != NULL)
		return;
	struct Proc *p = proc_add(w, pid, parent);
	if (p != NULL)
		report_found(w, p);
}

/*
 * Keeps when a process exited, as the kernel recorded it: should it be
 * collected before the watcher can look, the record still knows.
 */
static void
exited(struct Watch *w, pid_t pid, uint64_t ns)
{
	struct Proc *p = proc_find(w, pid);

	if (p != NULL)
		p->exit_at = (double)ns / 1e9 - w->t0;
}

/* Copies one record out of the ring, which it may wrap around. */
static void
ring_copy(int i, uint64_t at, void *to, size_t len)
{
	size_t size = RING_PAGES * page_size;
	const char *data = (const char *)ring[i].page + page_size;
	size_t off = (size_t)(at % size);
	size_t first = len < size - off ? len : size - off;

	memcpy(to, data + off, first);
	memcpy((char *)to + first, data, len - first);
}

/* A fork or an exit, as the kernel records both. */
struct Fork {
	struct perf_event_header h;
	uint32_t pid, ppid, tid, ptid;
	uint64_t time; /* CLOCK_MONOTONIC, in ns */
};

/* Takes what one ring holds into forks; false if any was lost. */
static bool
ring_take(int i, struct Fork *forks, size_t *n, size_t max)
{
	struct Fork r;
	bool whole = true;
	uint64_t head =
	    __atomic_load_n(&ring[i].page->data_head, __ATOMIC_ACQUIRE);

	for (; ring[i].tail < head && *n < max; ring[i].tail += r.h.size) {
		ring_copy(i, ring[i].tail, &r.h, sizeof(r.h));
		if (r.h.size == 0)
			break;
		if (r.h.type == PERF_RECORD_LOST)
			whole = false;
		if ((r.h.type != PERF_RECORD_FORK &&
			r.h.type != PERF_RECORD_EXIT) ||
		    r.h.size < sizeof(r))
			continue;
		ring_copy(i, ring[i].tail, &r, sizeof(r));
		/* A thread shares its process's number: only whole ones. */
		if (r.h.type == PERF_RECORD_FORK ? r.pid != r.ppid
						 : r.pid == r.tid)
			forks[(*n)++] = r;
	}
	__atomic_store_n(
	    &ring[i].page->data_tail, ring[i].tail, __ATOMIC_RELEASE);
	return whole;
}

static int
by_time(const void *a, const void *b)
{
	uint64_t x = ((const struct Fork *)a)->time;
	uint64_t y = ((const struct Fork *)b)->time;

	return x < y ? -1 : x > y;
}

/*
 * Reads every ring.  Each CPU has its own, so their records are put back
 * in the order they happened: a parent is known before its children.
 */
void
forks_read(struct Watch *w, bool hung_up)
{
	static struct Fork forks[512];
	size_t n;
	bool lost = false;

	/* Poll will not tell again of what is left: read it all now. */
	do {
		n = 0;
		for (int i = 0; i < nrings; i++)
			lost = !ring_take(i, forks, &n, 512) || lost;
		qsort(forks, n, sizeof(forks[0]), by_time);
		for (size_t i = 0; i < n; i++)
			if (forks[i].h.type == PERF_RECORD_FORK)
				found(w, (pid_t)forks[i].pid,
				    (pid_t)forks[i].ppid);
			else
				exited(w, (pid_t)forks[i].pid, forks[i].time);
	} while (n == 512);
	if (lost)
		children_sweep(w);
	/* Once all it followed have gone it hangs up for good: close it. */
	bool any_alive = false;
	for (size_t i = 0; i < w->nprocs; i++)
		any_alive = any_alive || (w->procs[i].ended < 0 &&
					     w->procs[i].collected < 0);
	if (!any_alive || hung_up)
		forks_close();
}

/* Each thread lists the children that it created itself. */
static void
task_children(struct Watch *w, int procfd, pid_t parent, const char *tid)
{
	char path[64], buf[4096];

	(void)snprintf(path, sizeof(path), "task/%s/children", tid);
	int fd = openat(procfd, path, O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		return;
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	(void)close(fd);
	buf[n > 0 ? n : 0] = '\0';
	for (char *s = buf, *end; *s != '\0'; s = end) {
		long pid = strtol(s, &end, 10);
		if (end == s)
			break;
		found(w, (pid_t)pid, parent);
	}
}

static void
process_children(struct Watch *w, int procfd, pid_t pid)
{
	int fd = openat(procfd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *d = fd == -1 ? NULL : fdopendir(fd);

	if (d == NULL) {
		if (fd != -1)
			(void)close(fd);
		return;
	}
	/* readdir_r is the deprecated one; a stream of our own is safe. */
	// cppcheck-suppress readdirCalled
	for (struct dirent *e; (e = readdir(d)) != NULL;)
		if (e->d_name[0] != '.')
			task_children(w, procfd, pid, e->d_name);
	(void)closedir(d);
}

/*
 * Finds children from each watched process's own list of them, and from
 * ours, where the orphans of what ended unseen have gone: used where the
 * kernel's fork records are not available, and after any were lost.
 * Costs what the watched processes hold, not what the machine does.
 */
void
children_sweep(struct Watch *w)
{
	static int self = -1;

	if (self == -1)
		self = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	process_children(w, self, w->self);
	for (size_t i = 0; i < w->nprocs; i++)
		if (w->procs[i].ended < 0 && w->procs[i].pidfd != -1)
			process_children(
			    w, w->procs[i].procfd, w->procs[i].pid);
}
