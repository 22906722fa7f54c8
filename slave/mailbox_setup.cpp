// PENDING: mailbox preparation for host programs is being written.
int PrepareMailboxes() { return 0; }
