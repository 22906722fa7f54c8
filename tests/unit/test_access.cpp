// The exported register and object access functions.
#include "api/ecdevice.h"
#include "test_mailbox_fixture.h"

class Access : public MailboxTest {
protected:
    void SetUp() override { StartMailboxSegment(3); }
    // What slave n's firmware was asked: the object (index, subindex) and command of
    // request i.
    uint16_t RequestIndex(int n, size_t i) { return SimGet16(Requests(n)[i].data() + 9); }
    uint8_t RequestCommand(int n, size_t i) { return Requests(n)[i][8]; }
    uint32_t RequestValue(int n, size_t i) { return SimGet32(Requests(n)[i].data() + 12); }
};

TEST_F(Access, BadSlaveNumbersSendNothing) {
    uint8_t buffer[8] = {0};
    int size = sizeof(buffer);
    uint64_t before = InprocFramesSent();
    for (int slave : {0, -1, 4, 1000}) {
        EXPECT_EQ(ReadRegister(slave, 0x20), EC_BAD_SLAVE);
        WriteRegister(slave, 0x20, 1);
        EXPECT_EQ(SdoRead(slave, 0x1000, 0, 0, &size, buffer, 1000), EC_BAD_SLAVE);
        EXPECT_EQ(SdoWrite(slave, 0x3000, 0, 0, 4, buffer, 1000), EC_BAD_SLAVE);
        EXPECT_EQ(FPRead(slave, 0x0130, 2, buffer, 1000), EC_BAD_SLAVE);
        EXPECT_EQ(FPWrite(slave, 0x0F00, 2, buffer, 1000), EC_BAD_SLAVE);
    }
    EXPECT_EQ(InprocFramesSent(), before);
    EXPECT_EQ(size, static_cast<int>(sizeof(buffer)));
}

TEST_F(Access, BadArgumentsSendNothing) {
    uint8_t buffer[8] = {0};
    int size = sizeof(buffer);
    int negative = -1;
    uint64_t before = InprocFramesSent();
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, nullptr, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, nullptr, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &negative, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, -1), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 4, nullptr, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 0, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, -4, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 65536, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 4, buffer, -1), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(1, 0x0130, -1, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(1, 0x0130, EC_MAX_DATAGRAM_DATA + 1, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(1, 0x0130, 2, nullptr, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(1, 0x0130, 2, buffer, -1), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPWrite(1, 0x0F00, -1, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPWrite(1, 0x0F00, 70000, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPWrite(1, 0x0F00, 2, nullptr, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPWrite(1, 0x0F00, 2, buffer, -1), EC_BAD_ARGUMENT);
    EXPECT_EQ(InprocFramesSent(), before);
    EXPECT_EQ(size, static_cast<int>(sizeof(buffer)));
    // A zero-length access needs no buffer.
    EXPECT_EQ(FPRead(1, 0x0130, 0, nullptr, 2000), 1);
}

TEST_F(Access, ClosedPortAnswersWithoutWaiting) {
    PortClose(&g_master.port);
    uint8_t buffer[8] = {0};
    int size = sizeof(buffer);
    EXPECT_EQ(ReadRegister(1, 0x20), 0);
    WriteRegister(1, 0x20, 5);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, 1000), EC_NO_FRAME);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 4, buffer, 1000), EC_NO_FRAME);
    EXPECT_EQ(FPRead(1, 0x0130, 2, buffer, 1000), EC_NO_FRAME);
    EXPECT_EQ(FPWrite(1, 0x0F00, 2, buffer, 1000), EC_NO_FRAME);
    EXPECT_EQ(size, static_cast<int>(sizeof(buffer)));
}

TEST_F(Access, ReadRegisterSendsCommandThenReadsData) {
    KeepRequests(1);
    EXPECT_EQ(ReadRegister(1, 0x20), 0x01000020) << "slave 1's register 0x20 as the slave holds it";
    ASSERT_EQ(Requests(1).size(), 2u) << "one download, one upload that succeeded at once";
    EXPECT_EQ(RequestIndex(1, 0), 0x7012);
    EXPECT_EQ(RequestCommand(1, 0), 0x23);
    EXPECT_EQ(RequestValue(1, 0), 0x00002000u);
    EXPECT_EQ(RequestIndex(1, 1), 0x7013);
    EXPECT_EQ(RequestCommand(1, 1), 0x40);
    // Only the low 24 bits of the register number reach the command word.
    EXPECT_EQ(ReadRegister(1, 0x7F000021), 0x01000021);
    EXPECT_EQ(RequestValue(1, 2), 0x00002100u);
}

TEST_F(Access, WriteRegisterSendsDataThenCommand) {
    KeepRequests(1);
    WriteRegister(1, 0x20, 5);
    ASSERT_EQ(Requests(1).size(), 2u);
    EXPECT_EQ(RequestIndex(1, 0), 0x7013);
    EXPECT_EQ(RequestValue(1, 0), 5u);
    EXPECT_EQ(RequestIndex(1, 1), 0x7012);
    EXPECT_EQ(RequestValue(1, 1), 0x00002001u);
    EXPECT_EQ(SimRegisterGet(Sim(1), 0x20), 5u);
}

TEST_F(Access, RegisterRoundTripsStayPerSlave) {
    WriteRegister(1, 0x40, 0x12345678);
    WriteRegister(3, 0x40, -2);
    EXPECT_EQ(ReadRegister(1, 0x40), 0x12345678);
    EXPECT_EQ(ReadRegister(3, 0x40), -2);
    EXPECT_EQ(ReadRegister(2, 0x40), 0x02000040) << "slave 2 was not written";
    WriteRegister(3, 0x41, -1);
    EXPECT_EQ(ReadRegister(3, 0x41), -1) << "0xFFFFFFFF reads as -1, like a bad slave number";
}

TEST_F(Access, ReadRegisterGivesUpAfterTwentyUploads) {
    SimObjectRemove(Sim(2), 0x7013);  // every upload is aborted
    KeepRequests(2);
    EXPECT_EQ(ReadRegister(2, 0x20), 0);
    EXPECT_EQ(Requests(2).size(), 21u) << "the command download and 20 upload attempts";
    EXPECT_EQ(ErrorCount(), 20);
    EXPECT_EQ(static_cast<uint32_t>(Error(0).abort_code), 0x06020000u);
    EXPECT_EQ(Error(0).index, 0x7013);
}

TEST_F(Access, SdoReadAndWritePassArgumentsThrough) {
    int value = 0x0BADCAFE;
    EXPECT_EQ(SdoWrite(2, 0x13000, 0x100, 0, 4, &value, 100000), 1) << "index and subindex are cut to 16 and 8 bits";
    EXPECT_EQ(SimGet32(SimObjectFind(Sim(2), 0x3000, 0)->value.data()), 0x0BADCAFEu);
    uint8_t data[16] = {0};
    int size = sizeof(data);
    EXPECT_EQ(SdoRead(2, 0x3000, 0, 0, &size, data, 100000), 1);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(SimGet32(data), 0x0BADCAFEu);
    size = sizeof(data);
    EXPECT_EQ(SdoRead(2, 0x2000, 0, 7, &size, data, 100000), 1) << "any non-zero complete access flag";
    EXPECT_EQ(size, 9);
    size = 2;
    EXPECT_EQ(SdoRead(2, 0x3000, 0, 0, &size, data, 100000), 0);
    EXPECT_EQ(size, 2);
}

TEST_F(Access, FPReadAndWriteReachTheConfiguredAddress) {
    uint8_t status[2] = {0xFF, 0xFF};
    EXPECT_EQ(FPRead(2, 0x0130, 2, status, 2000), 1);
    EXPECT_EQ(SimGet16(status), 2) << "PRE-OP";
    const uint8_t pattern[4] = {1, 2, 3, 4};
    EXPECT_EQ(FPWrite(3, 0x0F80, 4, const_cast<uint8_t*>(pattern), 2000), 1);
    EXPECT_EQ(Sim(3)->memory[0x0F80], 1);
    EXPECT_EQ(Sim(2)->memory[0x0F80], 0);
    uint8_t back[4] = {0};
    EXPECT_EQ(FPRead(3, 0x10F80, 4, back, 2000), 1) << "register cut to 16 bits";
    EXPECT_EQ(back[3], 4);
}

TEST_F(Access, AFailedStepOfARegisterAccessEndsIt) {
    // The data word now holds register 0x30 of slave 1.
    EXPECT_EQ(ReadRegister(1, 0x30), 0x01000030);
    KeepRequests(1);
    // The command download of a read is refused: the data word still holds register
    // 0x30, which must not come back as register 0x40.
    Script(1, SdoReply(0x80, 0x7012, 0, 0x08000000));
    EXPECT_EQ(ReadRegister(1, 0x40), 0) << "no read succeeded";
    EXPECT_EQ(Requests(1).size(), 1u) << "no upload after the failed command";
    // The data download of a write is refused: a write command now would store the
    // stale data word (register 0x30's value) into register 0x20.
    Script(1, SdoReply(0x80, 0x7013, 0, 0x08000000));
    WriteRegister(1, 0x20, 5);
    EXPECT_EQ(Requests(1).size(), 2u) << "no write command after the failed data download";
    EXPECT_EQ(SimRegisterGet(Sim(1), 0x20), 0x01000020u) << "register 0x20 untouched";
    // Both work again once the slave answers.
    WriteRegister(1, 0x20, 5);
    EXPECT_EQ(ReadRegister(1, 0x20), 5);
}
