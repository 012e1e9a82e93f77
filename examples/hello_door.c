/* A small door in plain C on libODoors: greets the caller by name, asks one
 * question and goes back to the BBS. */
#include <OpenDoor.h>
#include <string.h>

int main(int argc, char* argv[]) {
    if (argc > 1) strncpy(od_control.info_path, argv[1], sizeof od_control.info_path - 1);
    od_init();
    od_printf("`bright white`Hello, `yellow`%s`bright white`, from node %d.\n\r",
              od_control.user_name, od_control.od_node);
    od_printf("`grey`Did you like it [Y/N]? ");
    if (od_get_answer("YN") == 'Y')
        od_printf("`bright green`Glad to hear it.\n\r");
    else
        od_printf("`bright red`Sorry to hear it.\n\r");
    od_exit(10, false);
    return 0;
}
