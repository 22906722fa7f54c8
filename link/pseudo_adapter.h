// Which capture adapters can never reach a slave: the capture library's pseudo-devices
// (all interfaces at once, netfilter queues, D-Bus, Bluetooth and USB monitors) and the
// loopback interface. The adapter scans of both libraries pass over them silently.
#pragma once

bool PseudoAdapter(const char* name);
