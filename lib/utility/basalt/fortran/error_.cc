// Bindings of the error log.
#include "elog.h"
#include "fortran.h"
#include "fortran_private.h"

using basalt::fortran::CString;

extern "C" {

void elog_init_(void) { elog_init(0, nullptr); }
void eloginit_(void) { elog_init(0, nullptr); }
void elog_init__(void) { elog_init(0, nullptr); }

void clear_register_(int flag) { elog_clear_register(flag); }
void clear_register__(int flag) { elog_clear_register(flag); }

void die_(int *sysflag, char *message, size_t message_len) {
    char *text = newcs(message, basalt::fortran::length(message_len));
    elog_die(*sysflag, "%s\n", text);
}

void register_error_(int *sysflag, char *message, size_t message_len) {
    CString text(message, message_len);
    elog_log(*sysflag, "%s\n", text.get());
}

void complain_(int *sysflag, char *message, size_t message_len) {
    CString text(message, message_len);
    elog_complain(*sysflag, "%s\n", text.get());
}

void die__(int *sysflag, char *message, size_t message_len) { die_(sysflag, message, message_len); }
void register_error__(int *sysflag, char *message, size_t message_len) {
    register_error_(sysflag, message, message_len);
}
void complain__(int *sysflag, char *message, size_t message_len) {
    complain_(sysflag, message, message_len);
}

}  // extern "C"
