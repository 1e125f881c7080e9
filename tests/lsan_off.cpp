// SPDX-License-Identifier: BSD-2-Clause
/*
 * Linked into zombie in the sanitized build only.  The program allocates
 * nothing, so a leak check at its exit has nothing to find, while the
 * checker's helper, a process of its own that stops the program with
 * ptrace, would show in the very process table the tests examine.
 */

// The sanitizer runtime looks this name up; it is not ours to choose.
extern "C" const char *
__asan_default_options() // NOLINT(bugprone-reserved-identifier,cert-*)
{
	return "detect_leaks=0";
}
