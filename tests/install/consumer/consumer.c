/* Uses both libraries through their installed headers: calls that need no
 * reader, each with its documented result. Exit 0 when all hold. */
#include <kelvara.h>
#include <sampora.h>

#include <stdio.h>

static int done_seen = -1;

static void Progress(void *ctx, int done, int total)
{
    (void)ctx;
    (void)total;
    done_seen = done;
}

int main(void)
{
    unsigned char page[264] = {0};
    int failures = 0;
    /* No TS_CheckKelvara yet: a page read fails at once, without a reader. */
    if (TS_ReadBlock(0, 0, 16, page, 0) != -1) {
        printf("TS_ReadBlock before TS_CheckKelvara did not fail\n");
        ++failures;
    }
    KelvaraSetProgressHandler(Progress, NULL);
    KelvaraSetProgressHandler(NULL, NULL);
    /* Sampora: Close without Init still answers 0. */
    if (Close() != 0) {
        printf("Close without Init did not answer 0\n");
        ++failures;
    }
    printf("consumer: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 && done_seen == -1 ? 0 : 1;
}
