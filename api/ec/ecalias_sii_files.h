// What the one-slave and the many-slave SII calls of libecalias share: the backup file.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ecalias.h"

// Writes an SII image (count little-endian words) into a new backup file in dir (NULL or
// "": the current directory), named after position, the identity in the image's words
// 8-15 and a UTC stamp; created exclusively (taken names get -2, -3, ...), written whole,
// flushed with its folder. Anything less removes the file: EC_EFILE (file and reason in
// the detail), EC_ETOOBIG when the path does not fit path_size, EC_ENOMEM. The caller
// holds the master's call guard.
int EcWriteBackupFile(ec_master* m, int position, const uint16_t* words, size_t count, const char* dir, char* path,
                      size_t path_size);

// The same for many images at once (entries[n] with status EC_OK on entry; the others
// are left alone): each file made as EcWriteBackupFile makes it, the files flushed to disk
// together, before the call returns. Sets each entry's status, step and path.
void EcWriteBackupFiles(ec_master* m, ec_sii_backup_entry* entries, const uint16_t* const* words,
                        const size_t* counts, size_t count, const char* dir);
