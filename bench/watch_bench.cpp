// SPDX-License-Identifier: BSD-2-Clause
/*
 * watch_bench OLD NEW ZOMBIE: runs two watchers side by side, each on a
 * default run of ZOMBIE and on `sleep 20`, all four at once, and prints
 * what each cost (CPU and voluntary context switches, from wait4) and how
 * far each one's reported zombie span is from the kernel's own events,
 * which it observes through pidfds on the same two processes.
 */

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Run {
	const char *watcher_name, *what;
	pid_t pid;
	int out, pidfd; /* the watcher's output and process */
	int child;      /* pidfd of the program's child, or -1 */
	bool pinned;    /* the child has been looked for: never again */
	bool done;
	char text[65536]; /* everything it printed */
	size_t len;
	double zombie_at, gone_at; /* as the kernel told us */
	struct rusage ru;
};

double
now()
{
	struct timespec ts;
	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void
start(Run *r, const char *watcher, const char *a1, const char *a2)
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) == -1) {
		perror("pipe");
		exit(1);
	}
	r->pid = fork();
	if (r->pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		(void)dup2(p[1], 1);
		(void)dup2(null, 2);
		(void)execl(watcher, watcher, a1, a2, (char *)NULL);
		_exit(127);
	}
	(void)close(p[1]);
	r->out = p[0];
	r->pidfd = (int)syscall(SYS_pidfd_open, r->pid, 0);
	r->child = -1;
	r->zombie_at = r->gone_at = -1;
}

/* Pins the program's child once the watcher has named the program. */
void
find_child(Run *r)
{
	char path[64], buf[256];
	const char *s = strstr(r->text, " as process ");
	long program = s != NULL ? strtol(s + 12, NULL, 10) : 0;

	/* Looked for once: a second look after it is gone would block. */
	if (r->pinned || program <= 0)
		return;
	r->pinned = true;
	(void)snprintf(path, sizeof(path), "/proc/%ld/task/%ld/children",
	    program, program);
	for (int tries = 0; tries < 100 && r->child == -1; tries++) {
		int fd = open(path, O_RDONLY | O_CLOEXEC);
		ssize_t n = fd == -1 ? -1 : read(fd, buf, sizeof(buf) - 1);
		if (fd != -1)
			(void)close(fd);
		long child = n > 0 ? strtol(buf, NULL, 10) : 0;
		if (child > 0)
			r->child = (int)syscall(SYS_pidfd_open, child, 0);
		else
			(void)usleep(1000);
	}
}

void
on_output(Run *r)
{
	ssize_t n =
	    read(r->out, r->text + r->len, sizeof(r->text) - 1 - r->len);
	if (n > 0)
		r->len += (size_t)n;
	else {
		(void)close(r->out);
		r->out = -1;
	}
	r->text[r->len] = '\0';
}

void
watch_all(Run *runs, int n, double t0)
{
	for (;;) {
		struct pollfd fds[12];
		int k = 0;
		for (int i = 0; i < n; i++) {
			Run *r = &runs[i];
			fds[k++] = {r->out, POLLIN, 0};
			fds[k++] = {r->done ? -1 : r->pidfd, POLLIN, 0};
			fds[k++] = {r->child,
			    (short)(r->zombie_at < 0 ? POLLIN : 0), 0};
		}
		bool any = false;
		for (int i = 0; i < n; i++)
			any = any || !runs[i].done || runs[i].out != -1;
		if (!any)
			return;
		(void)poll(fds, (nfds_t)k, -1);
		double t = now() - t0;
		for (int i = 0; i < n; i++) {
			Run *r = &runs[i];
			struct pollfd *f = &fds[(size_t)3 * i];
			if (f[0].revents)
				on_output(r);
			if (r->text[0] != '\0' && strstr(r->what, "default"))
				find_child(r);
			if ((f[2].revents & POLLIN) && r->zombie_at < 0)
				r->zombie_at = t;
			if (f[2].revents & POLLHUP) {
				r->gone_at = t;
				(void)close(r->child);
				r->child = -1;
			}
			if (f[1].revents) {
				int status;
				(void)wait4(r->pid, &status, 0, &r->ru);
				r->done = true;
			}
		}
	}
}

double
ms(const struct timeval &tv)
{
	return (double)tv.tv_sec * 1e3 + (double)tv.tv_usec / 1e3;
}

double
cpu_ms(const Run *r)
{
	return ms(r->ru.ru_utime) + ms(r->ru.ru_stime);
}

/* The span in its summary line, in seconds, or -1. */
double
reported_span(const Run *r)
{
	const char *s = strstr(r->text, "was a zombie from");
	const char *f = s != NULL ? strstr(s, ", for ") : NULL;
	return f != NULL ? strtod(f + 6, NULL) : -1;
}

void
print(const Run *r)
{
	(void)printf("%-8s %-9s %9.1f %6ld", r->watcher_name, r->what,
	    cpu_ms(r), r->ru.ru_nvcsw);
	if (strstr(r->what, "default") != NULL) {
		double seen = r->gone_at - r->zombie_at;
		(void)printf("   %9.3f   %9.3f   %8.1f", reported_span(r), seen,
		    fabs(reported_span(r) - seen) * 1e3);
	}
	(void)printf("\n");
}

bool
verdict(const char *what, bool met)
{
	(void)printf("  %-58s %s\n", what, met ? "met" : "NOT MET");
	return met;
}

} // namespace

int
main(int argc, char *argv[])
{
	static Run runs[4];

	if (argc != 4) {
		(void)fprintf(stderr, "usage: watch_bench OLD NEW ZOMBIE\n");
		return 2;
	}
	runs[0].watcher_name = runs[2].watcher_name = "polling";
	runs[1].watcher_name = runs[3].watcher_name = "new";
	runs[0].what = runs[1].what = "default";
	runs[2].what = runs[3].what = "sleep 20";
	double t0 = now();
	for (int i = 0; i < 4; i++)
		start(&runs[i], argv[1 + i % 2], i < 2 ? argv[3] : "sleep",
		    i < 2 ? NULL : "20");
	watch_all(runs, 4, t0);

	(void)printf("watcher  run         cpu (ms)  vcsw   span (s)    "
		     "seen (s)    error (ms)\n");
	for (const Run &r : runs)
		print(&r);
	(void)printf("cpu is user+system from wait4, so it includes the "
		     "watched program's own,\nthe same for both watchers.\n");
	bool ok = verdict("default run: new at most 1/4 of polling's cpu",
	    cpu_ms(&runs[1]) * 4 <= cpu_ms(&runs[0]));
	ok = verdict("default run: new at most 30 ms of cpu",
		 cpu_ms(&runs[1]) <= 30) &&
	     ok;
	ok = verdict("sleep 20: new at most 1/20 of polling's cpu",
		 cpu_ms(&runs[3]) * 20 <= cpu_ms(&runs[2])) &&
	     ok;
	double err = fabs(
	    reported_span(&runs[1]) - (runs[1].gone_at - runs[1].zombie_at));
	ok = verdict("default run: new's zombie span within 3 ms of the "
		     "kernel's",
		 err <= 0.003) &&
	     ok;
	return ok ? 0 : 1;
}
