// The echo service (RFC 862) on UDP and TCP port 7: what arrives goes back to its sender.
#pragma once

namespace tarnet::firmware {

using PrintFn = void (*)(const char* format, ...);

// Opens the UDP endpoint and the TCP listener. 0 when both are open.
int EchoStart(PrintFn print);
// Sends what the TCP connections hold back and resumes their receiving once it is out.
void EchoPoll();

}  // namespace tarnet::firmware
