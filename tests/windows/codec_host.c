/* qpbm.dll's file call with UTF-16 paths, for the codec tests under Wine:
 *   codec_host INPUT OUTPUT [METHOD]
 * converts as detected, into the format the output's name calls for, with
 * the method's number (qpbm_method) when given. Prints the status message
 * and exits 1 on a refusal. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* shellapi.h needs windows.h first. */
/* clang-format off */
#include <windows.h>
#include <shellapi.h>
/* clang-format on */

#include "library/qpbm.h"

int main(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || argc < 3 || argc > 4) {
        fprintf(stderr, "usage: codec_host INPUT OUTPUT [METHOD]\n");
        return 2;
    }
    qpbm_options options;
    qpbm_options_init(&options);
    if (argc == 4) options.method = (qpbm_method)wcstol(argv[3], NULL, 10);
    qpbm_result result;
    /* wchar_t is UTF-16 on Windows: the paths go as they came. */
    const qpbm_status status = qpbm_convert_utf16_ex((const uint16_t*)argv[1], (const uint16_t*)argv[2], QPBM_DETECT,
                                                     &options, NULL, 0, &result);
    LocalFree(argv);
    if (status != QPBM_OK) {
        fprintf(stderr, "codec_host: %s\n", qpbm_status_message(status));
        return 1;
    }
    return 0;
}
