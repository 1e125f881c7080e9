// SPDX-License-Identifier: BSD-2-Clause
/*
 * The reading of /proc, from text as the kernel writes it: commands that
 * look like the line around them, zombies, older kernels' shorter files
 * and the masks that say what a parent does with SIGCHLD.
 */

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "sys/proc.h"

namespace {

/* A sleeping shell, as Linux 6.1 writes it: 52 fields. */
const char *sleeping =
    "18948 (sleep) S 18946 18946 5711 0 -1 4194304 207 3 0 0 0 1 0 0 20 0 "
    "1 0 868674 2990080 407 18446744073709551615 94683921477632 "
    "94683921495561 140725826988048 0 0 0 0 6 0 1 0 0 17 1 0 0 0 0 0 "
    "94683921509648 94683921510912 94684396978176 140725826996690 "
    "140725826996698 140725826996698 140725826998249 0\n";

/* A child that exited with status 3 and has not been collected. */
const char *zombie =
    "18950 (sleep) Z 18948 18946 5711 0 -1 4227084 96 0 0 0 0 0 0 0 20 0 "
    "1 0 868675 0 0 18446744073709551615 0 0 0 0 0 0 0 6 0 1 0 0 17 0 0 0 "
    "0 0 0 0 0 0 0 0 0 0 768\n";

/* /proc/PID/status, cut to the lines around those read. */
std::string
status(const std::string &sig_ign, const std::string &nspid)
{
	return "Name:\tfamily\nUmask:\t0022\nState:\tS (sleeping)\n"
	       "Tgid:\t4242\nNgid:\t0\nPid:\t4242\nPPid:\t4200\n"
	       "TracerPid:\t4100\nUid:\t0\t0\t0\t0\n" +
	       nspid +
	       "Threads:\t3\nSigQ:\t0/96369\nSigPnd:\t0000000000000000\n"
	       "ShdPnd:\t0000000000000000\nSigBlk:\t0000000000010000\n"
	       "SigIgn:\t" +
	       sig_ign +
	       "\nSigCgt:\t0000000000000002\nCapInh:\t0000000000000000\n";
}

} // namespace

TEST(ProcStat, ASleepingProcessGivesItsParentFaultsAndStart)
{
	std::optional<Stat> s = stat_parse(sleeping);
	ASSERT_TRUE(s);
	EXPECT_EQ(s->pid, 18948);
	EXPECT_EQ(s->comm, "sleep");
	EXPECT_EQ(s->state, 'S');
	EXPECT_EQ(s->ppid, 18946);
	EXPECT_EQ(s->minflt, 207);
	EXPECT_EQ(s->cminflt, 3);
	EXPECT_EQ(s->threads, 1);
	EXPECT_EQ(s->start_ticks, 868674);
	EXPECT_EQ(s->exit_code, 0);
}

TEST(ProcStat, AZombieKeepsItsExitStatus)
{
	std::optional<Stat> s = stat_parse(zombie);
	ASSERT_TRUE(s);
	EXPECT_EQ(s->state, 'Z');
	EXPECT_EQ(s->ppid, 18948);
	EXPECT_EQ(s->start_ticks, 868675);
	EXPECT_EQ(s->exit_code, 3 << 8);
	EXPECT_EQ(s->exit_signal, SIGCHLD);
	/* A clone with no exit signal: its parent is sent none. */
	std::string clone = zombie;
	clone.replace(clone.find(" 17 "), 4, " 0 ");
	EXPECT_EQ(stat_parse(clone)->exit_signal, 0);
}

/* A program may name itself anything, as prctl(PR_SET_NAME) allows. */
TEST(ProcStat, ACommandWithSpacesAndParenthesesIsTakenWhole)
{
	std::optional<Stat> s = stat_parse(
	    "77 (a) Z 1 (b c)) R 5 77 77 0 -1 0 11 12 0 0 0 0 0 0 20 0 2 0 "
	    "99 0 0\n");
	ASSERT_TRUE(s);
	EXPECT_EQ(s->pid, 77);
	EXPECT_EQ(s->comm, "a) Z 1 (b c)");
	EXPECT_EQ(s->state, 'R');
	EXPECT_EQ(s->ppid, 5);
	EXPECT_EQ(s->minflt, 11);
	EXPECT_EQ(s->threads, 2);
	EXPECT_EQ(s->start_ticks, 99);

	s = stat_parse("5 () S 1 5\n");
	ASSERT_TRUE(s);
	EXPECT_EQ(s->comm, "");
	EXPECT_EQ(s->ppid, 1);
}

/* Older kernels write fewer fields: those missing stay unknown, as 0. */
TEST(ProcStat, MissingFieldsAreLeftAtZero)
{
	std::optional<Stat> s =
	    stat_parse("9 (old) S 4 9 9 0 -1 0 30 40 0 0 0 0 0 0 20 0 1 0 7");
	ASSERT_TRUE(s);
	EXPECT_EQ(s->ppid, 4);
	EXPECT_EQ(s->cminflt, 40);
	EXPECT_EQ(s->start_ticks, 7);
	EXPECT_EQ(s->exit_code, 0);

	s = stat_parse("9 (cut) D");
	ASSERT_TRUE(s);
	EXPECT_EQ(s->state, 'D');
	EXPECT_EQ(s->ppid, 0);
	EXPECT_EQ(s->threads, 0);

	s = stat_parse("9 (cut) S 4 x 9 0 -1 0 30");
	ASSERT_TRUE(s);
	EXPECT_EQ(s->ppid, 4);
	EXPECT_EQ(s->minflt, 0) << "read past a field that is no number";
}

TEST(ProcStat, ALineWithoutCommandOrStateIsNothing)
{
	EXPECT_FALSE(stat_parse(""));
	EXPECT_FALSE(stat_parse("12 (sleep"));
	EXPECT_FALSE(stat_parse("12 sleep) S 1"));
	EXPECT_FALSE(stat_parse("12 (sleep)"));
	EXPECT_FALSE(stat_parse("12 (sleep) "));
	EXPECT_FALSE(stat_parse("12 )sleep( S 1"));
}

TEST(ProcStatus, SigchldIgnoredIsBit17OfSigIgn)
{
	Status st = status_parse(status("0000000000010000", "NSpid:\t4242\n"));
	EXPECT_TRUE(has_signal(st.ignored, SIGCHLD));
	EXPECT_FALSE(has_signal(st.ignored, SIGHUP));
	EXPECT_TRUE(has_signal(st.blocked, SIGCHLD));
	EXPECT_FALSE(has_signal(st.caught, SIGCHLD));
	EXPECT_TRUE(has_signal(st.caught, SIGINT));
	EXPECT_EQ(st.threads, 3);
	EXPECT_EQ(st.tracer, 4100);
	EXPECT_EQ(st.nspid, std::vector<pid_t>{4242});

	st = status_parse(status("0000000000000000", ""));
	EXPECT_FALSE(has_signal(st.ignored, SIGCHLD));
	EXPECT_FALSE(has_signal(st.ignored, 0));
	EXPECT_FALSE(has_signal(~0ULL, 65));
	EXPECT_TRUE(has_signal(1ULL << 63, 64));
}

/* Its number in each namespace from this one down to its own. */
TEST(ProcStatus, NSpidListsEachNamespacesNumber)
{
	Status st =
	    status_parse(status("0000000000000000", "NSpid:\t4242\t17\t1\n"));
	EXPECT_EQ(st.nspid, (std::vector<pid_t>{4242, 17, 1}));
}

/* Before Linux 4.1 there is no NSpid; a truncated file has less still. */
TEST(ProcStatus, MissingLinesLeaveTheirFieldsEmpty)
{
	Status st = status_parse(status("0000000000010000", ""));
	EXPECT_TRUE(st.nspid.empty());

	st = status_parse("Name:\tx\nThreads:\t2\nSigIgn:\t00000000000");
	EXPECT_EQ(st.threads, 2);
	EXPECT_EQ(st.tracer, 0);
	EXPECT_EQ(st.ignored, 0U);
	EXPECT_EQ(st.caught, 0U);

	st = status_parse("");
	EXPECT_EQ(st.threads, 0);
	EXPECT_TRUE(st.nspid.empty());
}

TEST(ProcFiles, ChildrenAreNumbersApartBySpaces)
{
	EXPECT_EQ(pids_parse("4243 4250 "), (std::vector<pid_t>{4243, 4250}));
	EXPECT_EQ(pids_parse(""), std::vector<pid_t>());
	EXPECT_EQ(pids_parse("12 x 13"), std::vector<pid_t>{12});
}

TEST(ProcFiles, SchedstatIsTimeRunAndTimeWaiting)
{
	EXPECT_EQ(schedstat_parse("2782370 324608 1\n"), 2782370 + 324608);
	EXPECT_EQ(schedstat_parse("15\n"), 15);
	EXPECT_FALSE(schedstat_parse(""));
	EXPECT_FALSE(schedstat_parse("none"));
}

TEST(ProcFiles, CommEndsAtItsNewline)
{
	EXPECT_EQ(comm_parse("my prog (x)\n"), "my prog (x)");
	/* A name set with prctl may hold newlines: kept, to be shown. */
	EXPECT_EQ(comm_parse("a\nb\n\n"), "a\nb\n");
	EXPECT_EQ(comm_parse("cut"), "cut");
	EXPECT_EQ(comm_parse(""), "");
}

TEST(ProcFiles, CmdlineSplitsAtEachNul)
{
	using namespace std::string_literals;
	EXPECT_EQ(cmdline_parse("sh\0-c\0\0sleep 1\0"s),
	    (std::vector<std::string>{"sh", "-c", "", "sleep 1"}));
	/* A program may write over its arguments, and drop the last NUL. */
	EXPECT_EQ(cmdline_parse("renamed: worker"s),
	    std::vector<std::string>{"renamed: worker"});
	/* A zombie's, and a kernel thread's, is empty. */
	EXPECT_TRUE(cmdline_parse("").empty());
}

TEST(ProcFiles, OnlyProcessNumbersAreProcesses)
{
	EXPECT_EQ(pid_name("4242"), 4242);
	EXPECT_EQ(pid_name("1"), 1);
	EXPECT_FALSE(pid_name("self"));
	EXPECT_FALSE(pid_name("thread-self"));
	EXPECT_FALSE(pid_name("."));
	EXPECT_FALSE(pid_name(""));
	EXPECT_FALSE(pid_name("0"));
	EXPECT_FALSE(pid_name("12a"));
	EXPECT_FALSE(pid_name("-3"));
	EXPECT_FALSE(pid_name("99999999999999999999"));
}

/* The /proc that is seen is the last procfs mounted on /proc. */
TEST(ProcFiles, MountinfoSaysWhetherProcHidesProcesses)
{
	const std::string plain =
	    "22 1 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - "
	    "proc proc rw\n"
	    "25 21 0:23 / /sys rw,relatime - sysfs sysfs rw\n";
	std::optional<ProcMount> m = mountinfo_parse(plain);
	ASSERT_TRUE(m);
	EXPECT_FALSE(m->hidepid);

	std::string hidden = plain +
			     "31 22 0:40 / /proc rw,relatime - proc proc "
			     "rw,gid=27,hidepid=invisible\n";
	m = mountinfo_parse(hidden);
	ASSERT_TRUE(m);
	EXPECT_EQ(m->hidepid, "hidepid=invisible");
	EXPECT_EQ(m->gid, 27U);

	/* Another procfs elsewhere, or hidepid=0, hides nothing here. */
	m = mountinfo_parse(plain + "40 30 0:50 / /mnt/p rw - proc proc "
				    "rw,hidepid=2\n"
				    "41 22 0:51 / /proc rw - proc proc "
				    "rw,hidepid=0\n");
	ASSERT_TRUE(m);
	EXPECT_FALSE(m->hidepid);
	EXPECT_FALSE(
	    mountinfo_parse("25 21 0:23 / /sys rw - sysfs sysfs rw\n"));
}
