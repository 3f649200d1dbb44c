// The routing of the client's bytes: the telnet-level parsers first, then the key mapper;
// a byte neither takes is dropped. Returns what goes back to the client.
#pragma once

#include <string>

#include "input/ZKey.h"
#include "screen/ZTelnet.h"

std::string ConsumeClientInput(ZTelnet& telnet, ZKey& key, std::string input);
