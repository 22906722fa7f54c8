#include "tool/console_text.h"

#include <langinfo.h>
#include <strings.h>

#include <clocale>
#include <cstdio>

namespace {

struct DialogTextForms {
    const char* gbk;   // the original bytes (code page 936)
    const char* utf8;  // the same text in UTF-8; null when the text is ASCII
};

// Index = message number. The GBK forms are the encoder's bytes of the UTF-8 forms;
// a unit test converts one into the other to keep them in step.
const DialogTextForms kDialogTexts[kDialogMessageCount + 1] = {
    /*  0 */ {nullptr, nullptr},
    /*  1 */ {"-------------ORB:config_id tools\xa3\xbaR1.2-2021.03.02-----------------\n\r ",
              "-------------ORB:config_id tools：R1.2-2021.03.02-----------------\n\r "},
    /*  2 */ {"slave number: %d,  name:%s  \n\r", nullptr},
    /*  3 */ {"\xb4\xd3\xd5\xbe\xb1\xe0\xba\xc5: %d,  \xb4\xd3\xd5\xbe\xc3\xfb:%s  \n\r",
              "从站编号: %d,  从站名:%s  \n\r"},
    /*  4 */ {"-----------------------------\n\r ", nullptr},
    /*  5 */ {"before open this software, please restart the slave!\n\r ", nullptr},
    /*  6 */ {"\xd4\xcb\xd0\xd0\xb4\xcb\xc8\xed\xbc\xfe\xc7\xb0\xa3\xac\xc7\xeb\xc8\xb7\xb1\xa3\xd2\xd1\xd6\xd8\xc6\xf4\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9!\n\r ",
              "运行此软件前，请确保已重启从站模块!\n\r "},
    /*  7 */ {"product name---> %s\n\r ", nullptr},
    /*  8 */ {"\xb2\xfa\xc6\xb7\xc3\xfb---> %s\n\r ",
              "产品名---> %s\n\r "},
    /*  9 */ {"\xc4\xa3\xbf\xe9\xb5\xb1\xc7\xb0\xb5\xc4" "config_id\xce\xaa ---> %d \n\r ",
              "模块当前的config_id为 ---> %d \n\r "},
    /* 10 */ {"------------------------------\n\r ", nullptr},
    /* 11 */ {"please scan your config_id,and press enter--->[0~65535]  \n\r ", nullptr},
    /* 12 */ {"\xc7\xeb\xca\xe4\xc8\xeb" "config_id\xa3\xac\xd2\xd4\xbb\xd8\xb3\xb5\xbc\xfc\xbd\xe1\xca\xf8\xa3\xac\xca\xe4\xc8\xeb\xb7\xb6\xce\xa7(\xca\xae\xbd\xf8\xd6\xc6)--->[0~65535]  \n\r ",
              "请输入config_id，以回车键结束，输入范围(十进制)--->[0~65535]  \n\r "},
    /* 13 */ {"\xc4\xfa\xca\xe4\xc8\xeb\xb5\xc4\xca\xc7---> %d \n\r ",
              "您输入的是---> %d \n\r "},
    /* 14 */ {"  %02x ", nullptr},
    /* 15 */ {"\n\r ", nullptr},
    /* 16 */ {"new crc code is  %02x \n\r ", nullptr},
    /* 17 */ {"\xbf\xaa\xca\xbc\xd0\xb4\xc8\xeb......\n\r ",
              "开始写入......\n\r "},
    /* 18 */ {"\xd0\xb4\xb2\xd9\xd7\xf7\xd6\xd8\xca\xd4\xb4\xce\xca\xfd" "cnt---> %d \n\r ",
              "写操作重试次数cnt---> %d \n\r "},
    /* 19 */ {" \n\r ", nullptr},
    /* 20 */ {"\xc9\xe8\xd6\xc3\xba\xf3\xb5\xc4" "config_id\xce\xaa ---> %d \n\r ",
              "设置后的config_id为 ---> %d \n\r "},
    /* 21 */ {"write passed! \n\r ", nullptr},
    /* 22 */ {"\xd0\xb4\xc8\xeb\xb3\xc9\xb9\xa6! \n\r ",
              "写入成功! \n\r "},
    /* 23 */ {"write fail\n\r ", nullptr},
    /* 24 */ {"\xd0\xb4\xc8\xeb\xca\xa7\xb0\xdc! \n\r ",
              "写入失败! \n\r "},
    /* 25 */ {"stop!\n\r ", nullptr},
    /* 26 */ {"\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r ",
              "程序结束运行，请关闭软件，从站模块断电!\n\r "},};

}  // namespace

const char* DialogText(int message, ConsoleEncoding encoding) {
    if (message < 1 || message > kDialogMessageCount) return nullptr;
    const DialogTextForms& forms = kDialogTexts[message];
    if (encoding == ConsoleEncoding::kUtf8 && forms.utf8 != nullptr) return forms.utf8;
    return forms.gbk;
}

bool DialogTextIsChinese(int message) {
    return message >= 1 && message <= kDialogMessageCount && kDialogTexts[message].utf8 != nullptr;
}

ConsoleEncoding ConsoleEncodingFromLocale() {
    // setlocale's answer lives in a static buffer that the next call overwrites.
    char previous[256] = "C";
    if (const char* current = setlocale(LC_CTYPE, nullptr)) snprintf(previous, sizeof previous, "%s", current);
    ConsoleEncoding encoding = ConsoleEncoding::kGbk;
    if (setlocale(LC_CTYPE, "") != nullptr) {
        const char* codeset = nl_langinfo(CODESET);
        if (codeset != nullptr && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0))
            encoding = ConsoleEncoding::kUtf8;
    }
    setlocale(LC_CTYPE, previous);
    return encoding;
}
