// SPDX-License-Identifier: BSD-2-Clause
#ifndef ZOMBIE_SYS_TERMINAL_H
#define ZOMBIE_SYS_TERMINAL_H

#include <optional>

/*
 * The columns every line must fit in: COLUMNS where it names a number, as
 * ls takes it, else the terminal's width; none for a pipe or a file, whose
 * reader may want one line an event.
 */
std::optional<int> line_columns(int fd);

#endif
