/* A host of the C interface: repairs ARCHIVE into DIR (in place without
 * DIR), prints each entry's verdict and the counts, and exits with the
 * status the command would give.
 *
 *     cc -std=c99 repair.c $(pkg-config --cflags --libs arcsalve)
 *     ./a.out damaged.zip out
 */
#include <arcsalve/arcsalve_c.h>
#include <stdio.h>

static const char *const verdicts[] = {"kept", "re-compressed", "partial", "lost", "not verified"};

static void on_message(void *user, int level, const char *text) {
    (void)user;
    if (level != ARCSALVE_LEVEL_INFO) fprintf(stderr, "%s\n", text);
}

static void on_entry(void *user, const struct arcsalve_entry *entry) {
    unsigned *count = (unsigned *)user;
    ++*count;
    printf("%-13s %10llu of %10llu  %s\n", verdicts[entry->verdict], entry->saved_size,
           entry->uncompressed_size, entry->display_name);
}

int main(int argc, char **argv) {
    struct arcsalve_options options = {0};
    struct arcsalve_result result = {0};
    unsigned reported = 0;
    int status;
    if (argc < 2) {
        fprintf(stderr, "usage: %s ARCHIVE [DIR]\n", argv[0]);
        return ARCSALVE_STATUS_BAD_CALL;
    }
    options.size = sizeof options;
    options.flags = ARCSALVE_DEFAULT_FLAGS;
    options.user = &reported;
    options.on_message = on_message;
    options.on_entry = on_entry;
    result.size = sizeof result;
    status = arcsalve_repair(argv[1], argc > 2 ? argv[2] : NULL, &options, &result);
    printf("status %d: %ld found, %ld intact, %ld partial, %ld lost, %ld not verified, %llu bytes saved\n",
           status, result.entries_found, result.entries_intact, result.entries_partial, result.entries_lost,
           result.entries_unverified, result.bytes_saved);
    if (result.output[0] != '\0') printf("rebuilt archive: %s\n", result.output);
    return status;
}
