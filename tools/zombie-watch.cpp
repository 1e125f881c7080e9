/*
 * zombie-watch: run a program (zombie by default) and narrate what the
 * process table shows of it and of its first child, until both have been
 * collected.  The watcher is a child subreaper, so the orphaned zombie
 * comes to it, even where PID 1 never collects orphans.
 */

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t got_signal;

static void
on_signal(int signo)
{
	got_signal = signo;
}

static double
now(void)
{
	struct timespec ts;

	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* The kernel's state letter and parent of pid, or 0 once it has gone. */
static char
proc_state(pid_t pid, pid_t *ppid)
{
	char path[64], buf[512];
	snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		return 0;
	ssize_t n = read(fd, buf, sizeof(buf) - 1);
	(void)close(fd);
	buf[n > 0 ? n : 0] = '\0';
	/* The command name may itself hold ") ", so look for the last. */
	char *p = strrchr(buf, ')');
	char state;
	int parent;
	if (p == NULL || sscanf(p + 1, " %c %d", &state, &parent) != 2)
		return 0;
	*ppid = parent;
	return state;
}

static pid_t
find_child_of(pid_t parent)
{
	DIR *d = opendir("/proc");
	struct dirent *e;
	pid_t found = -1, ppid;

	while (d != NULL && found == -1 && (e = readdir(d)) != NULL) {
		pid_t pid = atoi(e->d_name);
		if (pid > 0 && proc_state(pid, &ppid) != 0 && ppid == parent)
			found = pid;
	}
	if (d != NULL)
		(void)closedir(d);
	return found;
}

static const char *
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
		return "other";
	}
}

/* "exited with status 0", "was killed by signal 2 (Interrupt)". */
static const char *
how_ended(int status)
{
	static char buf[80];

	if (WIFEXITED(status))
		snprintf(buf, sizeof(buf), "exited with status %d",
		    WEXITSTATUS(status));
	else
		snprintf(buf, sizeof(buf), "was killed by signal %d (%s)",
		    WTERMSIG(status), strsignal(WTERMSIG(status)));
	return buf;
}

static void
show_states(double t, pid_t parent, char ps, pid_t child, pid_t cpp, char cs)
{
	(void)printf("[%5.1fs] parent %d %s", t, (int)parent, state_name(ps));
	if (child > 0 && cs != 0)
		(void)printf(", child %d of %d %s\n", (int)child, (int)cpp,
		    state_name(cs));
	else if (child > 0)
		(void)printf(", child %d gone\n", (int)child);
	else
		(void)printf(", no child yet\n");
}

static void
usage(FILE *to)
{
	(void)fprintf(to,
	    "usage: zombie-watch [PROGRAM [ARG...]]\n"
	    "Run PROGRAM (by default the zombie beside zombie-watch) and "
	    "show the states\nof it and of its child, from start until "
	    "both have been collected.\n");
}

/*
 * Starts argv[0] as our child.  Returns its pid, or exits with the
 * shell's statuses (127 not found, 126 not runnable) if it cannot run.
 */
static pid_t
start(char *argv[])
{
	int report[2];
	int err = 0;

	if (pipe2(report, O_CLOEXEC) == -1) {
		perror("zombie-watch: pipe");
		exit(1);
	}
	pid_t pid = fork();
	if (pid == -1) {
		perror("zombie-watch: fork");
		exit(1);
	}
	if (pid == 0) {
		(void)execvp(argv[0], argv);
		err = errno;
		(void)write(report[1], &err, sizeof(err));
		_exit(127);
	}
	(void)close(report[1]);
	/* The pipe closes unread on a successful exec. */
	ssize_t n = read(report[0], &err, sizeof(err));
	(void)close(report[0]);
	if (n == (ssize_t)sizeof(err)) {
		(void)waitpid(pid, NULL, 0);
		(void)fprintf(stderr, "zombie-watch: cannot run %s: %s\n",
		    argv[0], strerror(err));
		exit(err == ENOENT ? 127 : 126);
	}
	return pid;
}

int
main(int argc, char *argv[])
{
	char self[PATH_MAX], program[PATH_MAX + 8];
	char *default_argv[] = {program, NULL};
	char **prog_argv = argv + 1;

	if (argc > 1 && strcmp(argv[1], "--help") == 0) {
		usage(stdout);
		return 0;
	}
	if (argc > 1 && strcmp(argv[1], "--") == 0)
		prog_argv++;
	else if (argc > 1 && argv[1][0] == '-') {
		(void)fprintf(
		    stderr, "zombie-watch: unknown option %s\n", argv[1]);
		usage(stderr);
		return 2;
	}
	if (*prog_argv == NULL) {
		ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
		self[n > 0 ? n : 0] = '\0';
		char *slash = strrchr(self, '/');
		if (slash != NULL)
			*slash = '\0';
		snprintf(program, sizeof(program), "%s/zombie", self);
		prog_argv = default_argv;
	}

	/* Each line must show as it happens, even through a pipe. */
	(void)setvbuf(stdout, NULL, _IOLBF, 0);
	if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1) {
		perror("zombie-watch: prctl");
		return 1;
	}
	/* No SA_RESTART: a signal must cut the sleep between looks short. */
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	(void)sigaction(SIGINT, &sa, NULL);
	(void)sigaction(SIGTERM, &sa, NULL);

	double t0 = now();
	pid_t me = getpid(), parent = start(prog_argv), child = -1;
	(void)printf("[%5.1fs] zombie-watch (%d) started %s as process %d\n",
	    now() - t0, (int)me, prog_argv[0], (int)parent);
	bool parent_alive = true, child_collected = false;
	int parent_status = 0, forwarded = 0;
	char last_ps = '?', last_cs = '?';
	double last_line = -10, zombie_from = -1, zombie_until = -1;

	for (;;) {
		double t = now() - t0;
		int status;
		pid_t w;

		/*
		 * Only the parent is ours until it has gone; after that,
		 * whatever it left behind has been handed to us.
		 */
		while ((w = waitpid(parent_alive ? parent : -1, &status,
			    WNOHANG)) > 0) {
			if (w == parent) {
				parent_alive = false;
				parent_status = status;
				(void)printf("[%5.1fs] parent %d %s\n", t,
				    (int)parent, how_ended(status));
				if (child > 0 && last_cs != 0)
					(void)printf("[%5.1fs] child %d, "
						     "orphaned and still %s, "
						     "passes to zombie-watch "
						     "(%d)\n",
					    t, (int)child, state_name(last_cs),
					    (int)me);
			} else if (w == child) {
				child_collected = true;
				if (last_cs == 'Z')
					zombie_until = t;
				(void)printf("[%5.1fs] zombie-watch (%d) "
					     "collected child %d, which "
					     "%s\n",
				    t, (int)me, (int)child, how_ended(status));
			} else {
				(void)printf("[%5.1fs] zombie-watch (%d) "
					     "collected stray process %d, "
					     "which %s\n",
				    t, (int)me, (int)w, how_ended(status));
			}
		}
		if (w == -1 && errno == ECHILD)
			break;

		if (got_signal != 0 && forwarded == 0) {
			/* The terminal may have told only us; tell them. */
			forwarded = got_signal;
			if (parent_alive)
				(void)kill(parent, forwarded);
			if (child > 0 && !child_collected && last_cs != 'Z')
				(void)kill(child, forwarded);
		}

		pid_t pp = 0, cpp = 0;
		char ps = parent_alive ? proc_state(parent, &pp) : 0;
		if (child == -1 && parent_alive)
			child = find_child_of(parent);
		char cs =
		    child > 0 && !child_collected ? proc_state(child, &cpp) : 0;
		if (cs == 'Z' && zombie_from < 0)
			zombie_from = t;

		/* A parent seen as a zombie has just exited: collect it first.
		 */
		if (ps != 'Z' &&
		    (ps != last_ps || cs != last_cs || t - last_line >= 5)) {
			show_states(t, parent, ps, child, cpp, cs);
			last_ps = ps, last_cs = cs, last_line = t;
		}
		struct timespec tick = {0, 50 * 1000 * 1000};
		(void)nanosleep(&tick, NULL);
	}

	show_states(now() - t0, parent, 0, child, 0, 0);
	if (zombie_from >= 0 && zombie_until >= 0)
		(void)printf("summary: child %d was a zombie from %.1fs to "
			     "%.1fs, for %.1fs\n",
		    (int)child, zombie_from, zombie_until,
		    zombie_until - zombie_from);
	else
		(void)printf("summary: no zombie was seen\n");

	if (got_signal != 0)
		return 128 + got_signal;
	if (WIFSIGNALED(parent_status))
		return 128 + WTERMSIG(parent_status);
	if (WEXITSTATUS(parent_status) != 0 || child == -1) {
		(void)fprintf(stderr, "zombie-watch: %s %s%s\n", prog_argv[0],
		    how_ended(parent_status),
		    child == -1 ? " without creating a child" : "");
		return WEXITSTATUS(parent_status) != 0
			   ? WEXITSTATUS(parent_status)
			   : 1;
	}
	return 0;
}
