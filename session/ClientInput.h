// The routing of the client's bytes: the telnet-level parsers first, then the terminal's
// reports (passed to the programs unchanged), then the key mapper, then any other UTF-8
// character as itself; a byte none takes is dropped. A character or a report cut off at
// the end of the input stays in it. Returns what goes back to the client.
#pragma once

#include <string>

#include "input/ClientReports.h"
#include "input/ZKey.h"
#include "platform/ZConsole.h"
#include "screen/ZTelnet.h"

std::string ConsumeClientInput(ZTelnet& telnet, ClientReports& reports, ZKey& key,
                               std::string input);
// The same for the first bytes of input only: stops once at least limit bytes are taken
// (a sequence that starts before the limit is taken whole), removes them from input and
// returns the reply.
std::string ConsumeClientInput(ZTelnet& telnet, ClientReports& reports, ZKey& key,
                               std::string& input, std::size_t limit);
// Whether input holds more than the start of a character or a report still to be completed.
bool ClientInputReady(const ClientReports& reports, const std::string& input);
// Whether keys that reach the console now stay unseen: it reads whole lines and does not
// echo. The terminal echoes input as it receives it, not when a program reads it, so what
// may be a password is handed to the console only then.
bool ConsoleHidesInput(ZConsole& console);
