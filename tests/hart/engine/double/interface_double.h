// A stand-in for libZelHartDriverInterface.so that answers the program's requests from a script.
//
// Besides the seven hart_* exports it exports the control functions below, which a test binds with
// dlsym on the same library file that the program loads. The script can also come from the file named
// by $ZELHART_DOUBLE_SCRIPT, read when the library is first used.
//
// Script, one directive a line ('#' starts a comment):
//   open RC | configure RC | write RC | close RC   results of those exports (default 0)
//   index N                                        slot that hart_open hands out (default 0)
//   reply CMD RC STATUS DATA...                    standing answer to every request of command CMD
//   step ITEM [| ITEM ...]                         what the next written request gets, in order;
//                                                  once the steps are used up, standing answers apply
// Items of a step:
//   answer RC STATUS DATA...    a well-formed answer to the request
//   other CMD RC STATUS DATA... an answer carrying another command number
//   burst RC STATUS DATA...     a burst frame (delimiter 0x01 / 0x81) of the request's command
//   badcheck RC STATUS DATA...  an answer whose check byte is wrong
//   raw HEX...                  a record holding exactly these bytes
//   length N HEX...             a record whose Length field says N whatever the bytes
//   fail ERROR                  a failure record: Length 0, Status 6, Error ERROR
//   standing                    the standing answer of the request's command, if any
//   delay N                     N reads find nothing before the next item comes out
//   silence                     nothing (an empty step)
// DATA tokens: two hex digits (one byte), f:FLOAT, u8:N, i16:N, u24:N, u32:N, a8:TEXT, a16:TEXT,
// a32:TEXT (packed ASCII; '_' stands for a space).
// Answers echo the request's delimiter form and address; their byte count covers status and data.
#pragma once

#include <zelhart/hart_api.h>

extern "C" {
// Forgets everything (script, queue, records of calls) and loads `text`. 0, or the failing line number.
ZELHART_EXPORT int hart_double_load_script(const char* text);
// Requests written so far (every hart_write call, accepted or not).
ZELHART_EXPORT int hart_double_sent_count(void);
// Copies request `i` (0 = first); 0, or -1 when there is none.
ZELHART_EXPORT int hart_double_sent(int i, HartMessage* out);
// Calls of the export `name` ("hart_open", ...) so far.
ZELHART_EXPORT int hart_double_calls(const char* name);
// Name given to the last hart_open, zero-terminated into `buffer`; returns its length.
ZELHART_EXPORT int hart_double_last_open_name(char* buffer, int size);
// The record given to the last hart_configure; 0, or -1 when there was none.
ZELHART_EXPORT int hart_double_last_config(HartConfig* out);
// Records waiting to be read, and whether a device is open.
ZELHART_EXPORT int hart_double_queued(void);
ZELHART_EXPORT int hart_double_is_open(void);
// The index passed by the last call to any export but hart_open, or -1.
ZELHART_EXPORT int hart_double_last_index(void);
}
