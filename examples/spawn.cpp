// SPDX-License-Identifier: BSD-2-Clause
/*
 * spawn: posix_spawn creates a child running another program, fork and
 * exec in one call, but it does not wait.  The spawned sleep ends after
 * half a second and is a zombie like any other child until its parent,
 * busy for a second, collects it with waitpid.
 */

#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int
main()
{
	char prog[] = "sleep", half[] = "0.5";
	char *argv[] = {prog, half, nullptr};
	pid_t pid;
	/* spawnp searches the PATH for the program, as a shell does. */
	int err = posix_spawnp(&pid, prog, nullptr, nullptr, argv, environ);
	if (err != 0) {
		(void)fprintf(stderr, "posix_spawnp: %s\n", strerror(err));
		return 1;
	}

	(void)sleep(1); /* other work, while the child is a zombie */
	int status;
	if (waitpid(pid, &status, 0) == -1) {
		perror("waitpid");
		return 1;
	}
	(void)printf(
	    "sleep %d exited with status %d\n", (int)pid, WEXITSTATUS(status));
	return 0;
}
