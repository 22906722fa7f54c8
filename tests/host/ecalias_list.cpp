// The same steps as ecalias_list.c from C++, built only with
// `pkg-config --cflags --libs ecalias`: the header is usable from C++ as it is.
#include <ecalias.h>

#include <cstdio>
#include <memory>

namespace {

struct Closer {
    void operator()(ec_master* m) const { ec_close(m); }
};
using Master = std::unique_ptr<ec_master, Closer>;

int Failed(const ec_master* m, const char* what, int code) {
    ec_error_detail detail{};
    ec_last_error(m, &detail);
    std::fprintf(stderr, "%s: %s (%s) %s\n", what, ec_strerror(code), detail.step, detail.adapter_text);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* adapter = argc > 1 ? argv[1] : "sim:--slaves 5";
    ec_master* raw = nullptr;
    int status = ec_open(adapter, &raw);
    if (status != EC_OK) return Failed(nullptr, "open", status);
    Master m(raw);
    std::printf("version=%s\n", ec_version());
    int count = 0;
    if ((status = ec_scan(m.get(), &count)) != EC_OK) return Failed(m.get(), "scan", status);
    std::printf("count=%d\n", count);
    for (int n = 1; n <= count; n++) {
        ec_slave_info info{};
        if ((status = ec_slave_info_get(m.get(), n, &info)) != EC_OK) return Failed(m.get(), "slave info", status);
        std::printf("slave%d=%s vendor=0x%08x product=0x%08x station=0x%04x alias=%u complete=%d\n", n, info.name,
                    static_cast<unsigned>(info.vendor_id), static_cast<unsigned>(info.product_code),
                    info.station_address, info.alias_register, info.complete);
    }
    uint32_t vendor = 0;
    size_t size = sizeof vendor;
    if ((status = ec_sdo_upload(m.get(), 1, 0x1018, 1, 0, &vendor, &size, 700000)) != EC_OK)
        return Failed(m.get(), "sdo upload", status);
    std::printf("sdo.0x1018:1=0x%08x size=%u\n", static_cast<unsigned>(vendor), static_cast<unsigned>(size));
    ec_alias_report report{};
    if ((status = ec_alias_set(m.get(), 3, 0x0123, 0, &report)) != EC_OK) return Failed(m.get(), "alias", status);
    std::printf(
        "alias.before=%u alias.written=%u checksum.written=0x%04x verified=%d register=%u register_shows_new=%d\n",
        report.before[4], report.alias_written, report.checksum_written, report.verified, report.alias_register,
        report.register_shows_new);
    status = ec_close(m.release());
    std::printf("close=%d\n", status);
    return status == EC_OK ? 0 : 1;
}
