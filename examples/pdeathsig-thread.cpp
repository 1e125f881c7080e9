// SPDX-License-Identifier: BSD-2-Clause
/*
 * pdeathsig-thread: PR_SET_PDEATHSIG fires when the thread that forked the
 * child ends, not its process.  The child asks for SIGKILL, which a stopped
 * child obeys too; the main thread, alive all along, collects it killed.
 */

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

static pid_t pid;

static void *
spawn(void *)
{
	if ((pid = fork()) == 0) {
		(void)prctl(PR_SET_PDEATHSIG, SIGKILL);
		_exit(raise(SIGSTOP)); /* the signal ends it, stopped */
	}
	(void)waitpid(pid, nullptr, WUNTRACED); /* stopped: it has asked */
	(void)usleep(200000);
	return nullptr; /* this thread's end is the child's signal */
}

int
main()
{
	pthread_t t;
	if (pthread_create(&t, nullptr, spawn, nullptr) != 0)
		return 1;
	(void)pthread_join(t, nullptr);
	int status;
	if (waitpid(pid, &status, 0) == pid && WIFSIGNALED(status))
		(void)printf("child killed by signal %d\n", WTERMSIG(status));
	return 0;
}
