// SPDX-License-Identifier: BSD-2-Clause
/*
 * The check of the system's reaper: the watcher lets the program's orphans
 * go where the kernel sends them, PID 1 or the nearest subreaper, and says
 * whether and how soon that process collects each one.
 */

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "watch.h"

/* From when a reaper could collect it: orphaned, and ended. */
static double
collectable(const struct Proc *p)
{
	return p->orphaned > p->ended ? p->orphaned : p->ended;
}

static bool
orphan_zombie(const struct Watch *w, const struct Proc *p)
{
	return w->check && p->orphaned >= 0 && p->ended >= 0;
}

/* An orphan left uncollected for the whole wait: the verdict is in. */
bool
reaper_gave_up(const struct Watch *w, const struct Proc *p)
{
	return orphan_zombie(w, p) && p->collected < 0 &&
	       now(w) >= collectable(p) + w->reaper_wait;
}

/* Milliseconds until the next verdict is due, or -1 if none is pending. */
int
reaper_timeout(const struct Watch *w)
{
	double soonest = -1;

	for (size_t i = 1; i < w->nprocs; i++) {
		const struct Proc *p = &w->procs[i];
		if (!orphan_zombie(w, p) || p->collected >= 0)
			continue;
		double due = collectable(p) + w->reaper_wait - now(w);
		if (soonest < 0 || due < soonest)
			soonest = due > 0 ? due : 0;
	}
	return soonest < 0 ? -1 : (int)(soonest * 1000) + 1;
}

bool
reaper_all_collected(const struct Watch *w)
{
	for (size_t i = 1; i < w->nprocs; i++)
		if (orphan_zombie(w, &w->procs[i]) && w->procs[i].collected < 0)
			return false;
	return true;
}

void
report_verdicts(const struct Watch *w)
{
	char by[64];

	for (size_t i = 1; i < w->nprocs; i++) {
		const struct Proc *p = &w->procs[i];
		if (!orphan_zombie(w, p))
			continue;
		label(by, sizeof(by), w,
		    p->collected >= 0 ? p->collector : p->ppid);
		if (p->collected >= 0) {
			say("reaper: child %d was collected by %s %.3fs after "
			    "it "
			    "was orphaned\n",
			    (int)p->pid, by, p->collected - collectable(p));
			continue;
		}
		say("reaper: child %d was not collected by %s within %.3fs of "
		    "being orphaned\n",
		    (int)p->pid, by, w->reaper_wait);
		say("        %s does not collect orphans, so zombies pile up "
		    "under it.\n",
		    by);
	}
}

/*
 * The watcher's ancestors, up to PID 1: the orphans of the program go to
 * the nearest of them that is a subreaper, or to PID 1, and /proc does not
 * say which one that is.  Each is pinned, with the count of page faults
 * of the children it has collected.
 */
static struct {
	pid_t pid;
	int pidfd, statfd;
	long long faults;
} ancestor[32];
static int nancestors;

void
reaper_pin_ancestors(void)
{
	char path[32];

	for (pid_t pid = getppid(); pid > 0 && nancestors < 32;) {
		int pidfd = pidfd_open_(pid);
		(void)snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
		int fd = pidfd == -1 ? -1 : open(path, O_RDONLY | O_CLOEXEC);
		pid_t ppid = (pid_t)proc_stat_number(fd, 2);
		if (ppid < 0 || pidfd_signal(pidfd, 0) == -1) {
			(void)close(fd);
			(void)close(pidfd);
			return;
		}
		ancestor[nancestors].pid = pid;
		ancestor[nancestors].pidfd = pidfd;
		ancestor[nancestors].statfd = fd;
		ancestor[nancestors++].faults = proc_faults(fd, true);
		pid = pid == 1 ? 0 : ppid;
	}
}

/* The nearest ancestor whose children's page faults grew by p's, or 0. */
pid_t
reaper_grew(const struct Proc *p)
{
	for (int i = 0; i < nancestors && p->faults > 0; i++) {
		long long now_ = proc_faults(ancestor[i].statfd, true);
		if (now_ >= 0 && now_ - ancestor[i].faults >= p->faults)
			return ancestor[i].pid;
	}
	return 0;
}

/*
 * Which ancestor collected p, adopted and collected at once: the nearest
 * whose children's page faults grew by p's own.  PID 1 if none can say.
 */
pid_t
reaper_who(const struct Watch *w, const struct Proc *p)
{
	pid_t who = 0;

	(void)w;
	for (int i = 0; i < nancestors; i++) {
		long long now_ = proc_faults(ancestor[i].statfd, true);
		if (who == 0 && p->faults > 0 && now_ >= 0 &&
		    now_ - ancestor[i].faults >= p->faults)
			who = ancestor[i].pid;
		if (now_ >= 0)
			ancestor[i].faults = now_;
	}
	return who != 0 ? who : 1;
}

void
reaper_refuse_pid1(void)
{
	(void)fprintf(stderr,
	    "zombie-watch: --check-reaper: zombie-watch is PID 1 here, so no "
	    "other process\n"
	    "can adopt an orphan and there is no reaper to check.  Run it "
	    "inside the\n"
	    "container under the container's own init, for example with\n"
	    "  docker exec CONTAINER /zombie-watch --check-reaper\n");
	exit(2);
}
