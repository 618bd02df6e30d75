/* The README's example, compiled as C: the public header must stay usable
 * from C front ends. */
#include <stdio.h>

#include "VGClient/VAVarive32.h"

int admit(const char *ip, const char *account)
{
    VGDWORD info = 0;
    VGDWORD verdict = VGAllowConnection(ip, VGSVC_SMTP, account, &info, 0);
    return verdict != 0;
}

void report_failure(const char *account, const char *ip)
{
    VGHRESULT hr = HrVGProcessAuthFailure(account, ip, VGSVC_SMTP, "AUTH LOGIN", NULL, NULL, 0);
    if (hr < 0)
        fprintf(stderr, "screening report failed: 0x%08lX\n", (unsigned long)hr);
}

int is_black(const char *ip)
{
    VGDWORD listed = 0;
    return HrVGIsBlackListed(&listed, ip, 0) >= 0 && listed != 0;
}
