// The two constant field descriptors of cyclic_file_header_t that drive the
// trellon optional-field routines: one to code the fields, one to measure
// them. Internal to librotolog.
#ifndef ROTOLOG_CYCLIC_FILE_HEADER_DESCRIPTORS_H
#define ROTOLOG_CYCLIC_FILE_HEADER_DESCRIPTORS_H

#include <rotolog/platform/trellon.h>

// Five entries in field order, each xdr_int on the field's offset.
const trellon_coding_descriptor_t *cyclic_file_header_coding_descriptor();
// Five entries in field order, each xdr_length_of_encoded_int on the field.
const trellon_length_descriptor_t *cyclic_file_header_length_descriptor();

#endif
