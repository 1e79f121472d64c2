// The scan call behind the edclean_scan export.
#ifndef EDCLEAN_SCAN_H
#define EDCLEAN_SCAN_H

// Everything edclean_scan does after the message was emptied: options, root
// checks, registration, walks and the result text (null with a message on
// failure). May throw std::bad_alloc; the export turns that into a message.
char *ed_scan_call(const char *dirs_json, const char *options_json);

#endif
