// SPDX-License-Identifier: BSD-2-Clause
#ifndef ZOMBIE_SYS_TERMINAL_H
#define ZOMBIE_SYS_TERMINAL_H

/* The width of the terminal fd is, or 78 where it is none. */
int terminal_width(int fd);

#endif
