#pragma once

namespace ketrova {

// The probe needs one privilege, CAP_NET_RAW, and only for the moment it
// opens a raw ICMP socket (a datagram ICMP socket needs none).

// At start, before any argument is read: nothing effective, nothing
// inheritable, and of the permitted set only CAP_NET_RAW, where the process
// has it (a file capability, an ambient capability, or root). Returns
// whether the process is left so, as the kernel reports it afterwards.
bool limit_capabilities();

// What the start-up limit returned; false where it never ran. A process
// that could not be limited opens no socket at all.
bool capabilities_limited();

// Makes CAP_NET_RAW effective, for the socket() call alone. False when it is
// not permitted.
bool raise_net_raw();

// Once the socket is open: clears every capability set and sets
// no_new_privs; where the program was installed set-user-ID or
// set-group-ID, sets every user and group ID (real, effective, saved) to
// the caller's. Then reads it all back. False unless the process is left
// with no capability at all, no_new_privs set, and the caller's IDs
// everywhere.
bool give_up_privileges();

}  // namespace ketrova
