// SPDX-License-Identifier: BSD-2-Clause
/*
 * What zombie-watch knows of the processes it watches, shared by the event
 * loop (zombie-watch.cpp), the kernel side (procs.cpp) and the lines it
 * prints (report.cpp).
 */
#ifndef ZOMBIE_WATCH_H
#define ZOMBIE_WATCH_H

#include <signal.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

/* Not every C library declares these yet; the kernel has had them since 5.3. */
static inline int
pidfd_open_(pid_t pid)
{
	return (int)syscall(SYS_pidfd_open, pid, 0);
}

static inline int
pidfd_signal(int pidfd, int sig)
{
	return (int)syscall(SYS_pidfd_send_signal, pidfd, sig, NULL, 0);
}

/*
 * One watched process.  It is pinned by pidfd and by its /proc directory
 * from the moment it is found, so that its number is never read or
 * signalled once it may belong to someone else.
 */
/* A state letter read from the kernel, from time t until the next one. */
struct Sample {
	double t;
	char st;
};

struct Proc {
	pid_t pid;
	int pidfd;           /* -1 once it has been collected */
	int procfd;          /* its /proc/PID, valid while pidfd is */
	int statfd, schedfd; /* its stat and schedstat there, kept open */
	pid_t ppid;          /* its parent, as last read */
	double born;         /* seconds since start, as for every time here */
	double ended;        /* when it became a zombie, or -1 */
	double collected;    /* or -1 */
	double exit_at;      /* when the kernel recorded its exit, or -1 */
	double orphaned;     /* when its parent\'s end handed it on, or -1 */
	pid_t collector;     /* who collected it; -1 the kernel itself */
	int status;          /* wait status, or -1 if it is not known */
	long long faults;    /* page faults its collector will be credited */
	long long parent_faults;   /* its parent's children's, when last seen */
	long long children_faults; /* its children's, as it ended */
	struct Sample *hist; /* its states while alive, for the timeline */
	size_t nhist, histcap;
	double looked; /* when its state was last read for it */
	char seen;     /* the letter then */
	long long ran; /* ns it had run or waited to run then, or -1 */
};

struct Watch {
	double t0;
	pid_t self;
	struct Proc *procs; /* procs[0] is the program itself */
	size_t nprocs, cap;
	bool have_children; /* the kernel still has children of ours */
	int signo;          /* the first ending signal received, or 0 */
	int signals;        /* how many of them */
	bool polling;       /* no fork records: children are looked for */
	bool hup_works;     /* pidfds hang up once collected */
	bool colour;        /* the timeline goes to a terminal that wants it */
	bool lost;  /* a process could not be followed, and it said so */
	bool check; /* orphans go to the system's reaper, not to us */
	double reaper_wait; /* how long it is given to collect each */
};

/* One ring of fork records a CPU; beyond that many, children are looked for. */
enum { MAX_RINGS = 256 };

/* procs.cpp: the kernel's side. */
double now(const struct Watch *w);
char proc_state(const struct Proc *p, pid_t *ppid, int *exit_code);
long long proc_ran(const struct Proc *p);
bool proc_alive(const struct Proc *p);
bool proc_ignores(const struct Proc *p, int sig);
void proc_name(pid_t pid, char *buf, size_t len);
long long proc_faults(int statfd, bool children);
long long proc_stat_number(int statfd, int n);
int proc_exit_status(const struct Proc *p);
struct Proc *proc_find(struct Watch *w, pid_t pid);
struct Proc *proc_add(struct Watch *w, pid_t pid, pid_t parent);
void proc_release(struct Proc *p);
bool forks_open(pid_t pid);
bool pidfd_hangs_up(void);
void forks_read(struct Watch *w, bool hung_up);
int forks_fds(int *fds, int max);
void children_sweep(struct Watch *w);

/* report.cpp: what the learner reads. */
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int output_error(void);
const char *state_name(char state);
void describe_status(char *buf, size_t len, int status);
void label(char *buf, size_t len, const struct Watch *w, pid_t pid);
void report_started(const struct Watch *w, const char *program);
void report_found(const struct Watch *w, const struct Proc *p);
void report_ended(const struct Watch *w, const struct Proc *p);
void report_adopted(const struct Watch *w, const struct Proc *p, char st);
void report_collected(const struct Watch *w, const struct Proc *p);
void report_states(const struct Watch *w);
void report_signal(const struct Watch *w, int signo, int sent, int sig);
void report_summary(const struct Watch *w);

/* reaper.cpp: the check of the system's reaper. */
bool reaper_gave_up(const struct Watch *w, const struct Proc *p);
int reaper_timeout(const struct Watch *w);
bool reaper_all_collected(const struct Watch *w);
void report_verdicts(const struct Watch *w);
void reaper_refuse_pid1(void);
void reaper_pin_ancestors(void);
pid_t reaper_who(const struct Watch *w, const struct Proc *p);
pid_t reaper_grew(const struct Proc *p);

/* picture.cpp: the timeline. */
void picture_look(struct Proc *p, double t);
void picture_sample(struct Watch *w);
double picture_column(double run);
void report_timeline(const struct Watch *w);

#endif
