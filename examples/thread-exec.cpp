// SPDX-License-Identifier: BSD-2-Clause
/*
 * thread-exec: a thread that runs a program takes the whole process with
 * it.  At 0.2 s a second thread calls execve on sleep 1 while the main
 * thread waits.  The kernel ends every other thread, the main one too,
 * and gives the thread that runs sleep the process's ID: nothing exits
 * until sleep does, at 1.2 s, with status 0.
 */

#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static void *
run(void *)
{
	struct timespec t = {0, 200000000};
	(void)nanosleep(&t, nullptr);
	(void)execlp("sleep", "sleep", "1", (char *)nullptr);
	(void)fprintf(stderr, "thread-exec: cannot run sleep\n");
	_exit(1);
}

int
main()
{
	pthread_t t;
	if (pthread_create(&t, nullptr, run, nullptr) != 0) {
		(void)fprintf(stderr, "pthread_create failed\n");
		return 1;
	}
	(void)printf(
	    "process %d: a thread runs sleep 1 at 0.2 s\n", (int)getpid());
	(void)fflush(stdout);
	/* The exec ends this thread: it never returns from here. */
	for (;;)
		(void)pause();
}
