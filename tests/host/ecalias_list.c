/* A C program built only with `pkg-config --cflags --libs ecalias`: lists the slaves of
 * an in-process segment, reads an SDO, sets slave 3's station alias and prints the
 * report. Prints "key=value" lines; exits 0 when every step succeeded. */
#include <ecalias.h>
#include <stdio.h>
#include <string.h>

static int failed(const ec_master* m, const char* what, int code) {
    ec_error_detail detail;
    memset(&detail, 0, sizeof detail);
    ec_last_error(m, &detail);
    fprintf(stderr, "%s: %s (%s) %s\n", what, ec_strerror(code), detail.step, detail.adapter_text);
    return 1;
}

int main(int argc, char** argv) {
    const char* adapter = argc > 1 ? argv[1] : "sim:--slaves 5";
    ec_master* m = NULL;
    int status = ec_open(adapter, &m);
    if (status != EC_OK) return failed(NULL, "open", status);
    printf("version=%s\n", ec_version());
    int count = 0;
    status = ec_scan(m, &count);
    if (status != EC_OK) return failed(m, "scan", status);
    printf("count=%d\n", count);
    for (int n = 1; n <= count; n++) {
        ec_slave_info info;
        status = ec_slave_info_get(m, n, &info);
        if (status != EC_OK) return failed(m, "slave info", status);
        printf("slave%d=%s vendor=0x%08x product=0x%08x station=0x%04x alias=%u complete=%d\n", n, info.name,
               (unsigned)info.vendor_id, (unsigned)info.product_code, info.station_address, info.alias_register,
               info.complete);
    }
    uint32_t vendor = 0;
    size_t size = sizeof vendor;
    status = ec_sdo_upload(m, 1, 0x1018, 1, 0, &vendor, &size, 700000);
    if (status != EC_OK) return failed(m, "sdo upload", status);
    printf("sdo.0x1018:1=0x%08x size=%u\n", (unsigned)vendor, (unsigned)size);
    ec_alias_report report;
    status = ec_alias_set(m, 3, 0x0123, 0, &report);
    if (status != EC_OK) return failed(m, "alias", status);
    printf("alias.before=%u alias.written=%u checksum.written=0x%04x verified=%d register=%u register_shows_new=%d\n",
           report.before[4], report.alias_written, report.checksum_written, report.verified, report.alias_register,
           report.register_shows_new);
    status = ec_close(m);
    printf("close=%d\n", status);
    return status == EC_OK ? 0 : 1;
}
