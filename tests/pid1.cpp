// SPDX-License-Identifier: BSD-2-Clause
/*
 * pid1 MODE [--root DIR] PROGRAM [ARG...]: runs PROGRAM in a new PID
 * namespace, with a /proc of its own, under this as its PID 1, an init of
 * the tests' own that behaves as MODE says:
 *
 *   ignore     never collects an orphan.  Once PROGRAM has exited it says
 *              on standard error which zombies are left with parent 1.
 *   collect=S  collects every orphan S seconds after it becomes a zombie.
 *   release    ignores SIGCHLD, so that the kernel releases every orphan
 *              as it is handed over; PROGRAM's status is read from its
 *              pidfd (Linux 6.15 and later).
 *
 * With --root, PROGRAM runs chrooted in DIR, which needs only /proc.
 * Exits as PROGRAM did.  Needs root, or a user namespace that allows it.
 */

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

void
die(const char *what)
{
	(void)fprintf(stderr, "pid1: %s: %s\n", what, strerror(errno));
	_exit(126);
}

void
nap(double s)
{
	struct timespec ts = {(time_t)s, (long)((s - (double)(time_t)s) * 1e9)};
	while (nanosleep(&ts, &ts) == -1 && errno == EINTR)
		;
}

/* A fresh /proc for the new namespace, in a mount namespace of its own. */
void
mount_proc(const char *root)
{
	char path[4096];

	(void)snprintf(path, sizeof(path), "%s/proc", root);
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
	    mount("proc", path, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
		nullptr) == -1)
		die("mount");
	if (strcmp(root, "") != 0 && (chroot(root) == -1 || chdir("/") == -1))
		die("chroot");
}

void
report_zombies()
{
	DIR *d = opendir("/proc");
	char path[300], buf[512];
	bool any = false;

	(void)fprintf(stderr, "pid1: zombies of PID 1:");
	/* readdir_r is the deprecated one; a stream of our own is safe. */
	// cppcheck-suppress readdirCalled
	for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
		(void)snprintf(path, sizeof(path), "/proc/%s/stat", e->d_name);
		FILE *f = strtol(e->d_name, nullptr, 10) > 0 ? fopen(path, "r")
							     : nullptr;
		if (f == nullptr)
			continue;
		size_t n = fread(buf, 1, sizeof(buf) - 1, f);
		(void)fclose(f);
		buf[n] = '\0';
		/* After the name, which may hold ") ": " Z 1 ..." */
		const char *p = strrchr(buf, ')');
		if (p != nullptr && strncmp(p, ") Z 1 ", 6) == 0) {
			(void)fprintf(stderr, " %s", e->d_name);
			any = true;
		}
	}
	(void)fprintf(stderr, "%s\n", any ? "" : " none");
	if (d != nullptr)
		(void)closedir(d);
}

/* With SIGCHLD ignored nothing can be waited for; pidfs keeps the status. */
int
released(pid_t program)
{
	struct {
		uint64_t mask, cgroupid;
		uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid;
		uint32_t fsuid, fsgid;
		int32_t exit_code;
		uint32_t coredump_mask, spare;
	} info = {};
	int pidfd = (int)syscall(SYS_pidfd_open, program, 0);
	struct pollfd p = {pidfd, POLLIN, 0};

	(void)signal(SIGCHLD, SIG_IGN);
	while (poll(&p, 1, -1) == -1 && errno == EINTR)
		;
	info.mask = 1 << 3; /* the exit */
	if (ioctl(pidfd, _IOWR(0xFF, 11, info), &info) == -1)
		die("PIDFD_GET_INFO");
	return info.exit_code;
}

/* PID 1's life: start the program, then collect, or not, as told. */
int
init(const char *mode, const char *root, char **argv)
{
	mount_proc(root);
	pid_t program = fork();
	if (program == 0) {
		(void)execv(argv[0], argv);
		die(argv[0]);
	}
	int status = 0;
	if (strcmp(mode, "release") == 0)
		return released(program);
	if (strcmp(mode, "ignore") == 0) {
		(void)waitpid(program, &status, 0);
		nap(0.5);
		report_zombies();
		return status;
	}
	double delay = strtod(mode + strlen("collect="), nullptr);
	siginfo_t si;
	while (waitid(P_ALL, 0, &si, WEXITED | WNOWAIT) == 0) {
		if (si.si_pid != program)
			nap(delay);
		int st;
		if (waitpid(si.si_pid, &st, 0) == program)
			status = st;
	}
	return status;
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc < 3 || (strcmp(argv[1], "ignore") != 0 &&
			    strcmp(argv[1], "release") != 0 &&
			    strncmp(argv[1], "collect=", 8) != 0)) {
		(void)fprintf(stderr,
		    "usage: pid1 ignore|release|collect=SECONDS "
		    "[--root DIR] PROGRAM [ARG...]\n");
		return 2;
	}
	const char *root = "";
	char **program = argv + 2;
	if (strcmp(argv[2], "--root") == 0 && argc > 4) {
		root = argv[3];
		program = argv + 4;
	}
	if (unshare(CLONE_NEWPID | CLONE_NEWNS) == -1)
		die("unshare");
	pid_t pid1 = fork();
	if (pid1 == -1)
		die("fork");
	if (pid1 == 0) {
		int status = init(argv[1], root, program);
		_exit(WIFEXITED(status) ? WEXITSTATUS(status)
					: 128 + WTERMSIG(status));
	}
	int status;
	(void)waitpid(pid1, &status, 0);
	/*
	 * No exit handlers: a leak checker's helper would be created in the
	 * namespace, whose init is gone, and fail.
	 */
	_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
}
