/*
 * ecdevice.h - device access for host programs: a small EtherCAT master.
 *
 * Link with -lecdevice (pkg-config: ecdevice). All integers are 32-bit signed; slave
 * numbers run from 1 to GetSlaveCount(). Timeouts are microseconds.
 *
 * Threads: calls on different slaves may run at the same time from different threads;
 * each gets its own reply or fails, never another call's data. Two calls on the same
 * slave must not run at once. Init and Deinit run alone: an Init or Deinit called while
 * other calls are in flight waits for them to end, and calls made meanwhile wait for it
 * (a second Init waits for the first, then starts afresh). Processes: one master per
 * adapter; Init passes over an adapter another program already holds (the reason is
 * printed on standard error).
 *
 * How long a call takes, for a timeout T: FPRead and FPWrite return within T plus
 * about 2 ms (a wait for a free frame slot counts against T). SdoRead and SdoWrite
 * apply T to each reply they wait for (one for an expedited transfer, one per segment
 * otherwise), plus up to 26 ms per request for the slave's write mailbox to empty and
 * take it; a wait for an answer an earlier, abandoned request still owes counts against
 * T of the first reply. An expedited upload given T = 200 ms returns within 1.2 T.
 * ReadRegister and WriteRegister are made of SDO transfers with fixed timeouts (a read
 * may take up to 20 uploads of 700 ms when the slave does not answer).
 *
 * Result values shared by the functions below:
 *   > 0   success (the working counter of the last exchange, or a count)
 *     0   failure reported by the slave or by the protocol (see each function)
 *    -1   EC_BAD_SLAVE: slave number outside 1..GetSlaveCount(), nothing sent;
 *         also EC_NO_FRAME: no reply came within the timeout (the datagram layer)
 *    -2   EC_FOREIGN_FRAME: a frame came, but not the reply, when the timeout ran out
 *    -3   EC_BAD_ARGUMENT: a null pointer, a negative or too large size or length, or a
 *         negative timeout; nothing sent
 */
#ifndef ECDEVICE_H
#define ECDEVICE_H

#ifdef __cplusplus
extern "C" {
#endif

#define EC_BAD_SLAVE (-1)
#define EC_NO_FRAME (-1)
#define EC_FOREIGN_FRAME (-2)
#define EC_BAD_ARGUMENT (-3)

/* Largest register length of FPRead/FPWrite: the data room of one datagram. */
#define EC_MAX_DATAGRAM_DATA 1486

/*
 * Init - find the Ethernet adapter that carries EtherCAT slaves and bring it up.
 * Tries every capture adapter in turn. On the first one where slaves answer, it counts
 * and addresses them, reads their SII EEPROM, configures the mailbox SyncManagers of
 * every slave that has a mailbox and requests PRE-OP, so that SDO and register access
 * work. Returns the number of slaves (0 when no adapter carries slaves or the adapters
 * cannot be listed; the reason is printed). Calling Init again starts afresh.
 */
int Init(void);

/* Deinit - close the adapter. Always 0. Counts and names stay readable. */
int Deinit(void);

/* GetSlaveCount - the number of slaves found by the last Init (0 before it). */
int GetSlaveCount(void);

/* GetSlaveHardFlag - 0 for a valid slave number, EC_BAD_SLAVE otherwise. */
int GetSlaveHardFlag(int slave);

/*
 * GetSlaveName - the slave's name from its SII (at most 40 characters), or
 * "? M:vvvvvvvv I:pppppppp" from vendor and product code when it has none. The pointer
 * stays valid for the life of the process; its text changes on the next Init. Null for
 * a bad slave number.
 */
const char* GetSlaveName(int slave);

/*
 * ReadRegister - read a device register through the slave's CoE register window
 * (command object 0x7012:00, data object 0x7013:00). Returns the 32-bit value; 0 when
 * no read succeeded (indistinguishable from a register holding 0); EC_BAD_SLAVE for a
 * bad slave number (indistinguishable from a register holding 0xFFFFFFFF).
 */
int ReadRegister(int slave, int reg);

/* WriteRegister - write a device register through the register window. Reports nothing. */
void WriteRegister(int slave, int reg, int value);

/*
 * SdoRead - CoE SDO upload of index:subindex (complete_access != 0 reads the whole
 * object). *size holds the capacity of data on entry and the bytes read on return.
 * Returns > 0 on success; 0 on failure (an abort or unusable reply is recorded in the
 * master's error list); -1/-2 when the frame layer got no reply, or -1 when an answer
 * the slave owes an earlier, abandoned request did not come within T; EC_BAD_SLAVE;
 * EC_BAD_ARGUMENT for a null size or data, a negative capacity or timeout.
 */
int SdoRead(int slave, int index, int subindex, int complete_access, int* size, void* data, int timeout);

/*
 * SdoWrite - CoE SDO download of size bytes (1..65535) to index:subindex. Results as
 * SdoRead; EC_BAD_ARGUMENT for a null data pointer, a size outside 1..65535 or a
 * negative timeout.
 */
int SdoWrite(int slave, int index, int subindex, int complete_access, int size, void* data, int timeout);

/*
 * FPRead / FPWrite - read or write length bytes (0..1486) of the slave controller's
 * registers or memory at reg, by the slave's configured station address. Returns the
 * working counter (1 when the slave executed it, 0 when none did), -1/-2 when no reply
 * came within timeout, EC_BAD_SLAVE, or EC_BAD_ARGUMENT (null data with length above
 * 0, length outside 0..1486, negative timeout). FPRead fills data only on a working
 * counter above 0.
 */
int FPRead(int slave, int reg, int length, void* data, int timeout);
int FPWrite(int slave, int reg, int length, void* data, int timeout);

#ifdef __cplusplus
}
#endif

#endif /* ECDEVICE_H */
