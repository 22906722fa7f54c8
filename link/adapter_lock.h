// One master per adapter.
//
// Every master sends with the same source address and numbers its datagrams by slot, so
// two masters on one adapter would take each other's replies and never notice. Before
// the capture back end opens an adapter it takes an exclusive advisory lock (flock) on a
// file that names the adapter within its network namespace:
//
//   <directory>/<netns inode>-<adapter name, '/' '%' and other unsafe bytes as %XX>.lock
//
// The directory is $EC_LOCK_DIR when set, else /run/lock/ecalias, else (when /run/lock
// cannot be written) /tmp/ecalias-locks; a directory made here gets mode 1777 so every
// user's masters meet in it. The holder writes its process id into the file so a refused
// opener can name it. The lock lasts until release, and the kernel drops it when the
// process dies, so a crashed master leaves nothing stale behind. A second lock of the
// same adapter in the same process is refused as well (a process-wide table), and a
// child made by fork does not inherit its parent's locks.
#pragma once

struct AdapterLock;

// Takes the lock of an adapter. Returns a handle, or null with the reason in errbuf
// (kCaptureErrorSize bytes), e.g. "adapter eth1 is in use by another ecalias master
// (process 1234); stop it first: ...". directory null: the default directory above.
AdapterLock* AdapterLockAcquire(const char* adapter_name, char* errbuf, const char* directory = nullptr);

// Drops the lock and removes its file; null is ignored.
void AdapterLockRelease(AdapterLock* lock);
