/* Uses the installed header and library: a refused call and its message. */
#include <stdio.h>
#include <string.h>

#include <edclean.h>

int main(void) {
    char *result = edclean_scan(NULL, NULL);
    if (result != NULL || strcmp(edclean_last_error(), "NULL dirs_json") != 0) {
        fprintf(stderr, "unexpected: %s\n", edclean_last_error());
        return 1;
    }
    if (edclean_delete_files("[]") != -1 || strcmp(edclean_last_error(), "invalid files list") != 0)
        return 1;
    edclean_free_string(NULL);
    puts("consumer ok");
    return 0;
}
