// The field descriptors of cyclic_file_header_t: constant tables, filled in
// when the library is loaded and never written again, so handing them out
// needs no lock.
#include "cyclic_file_header_descriptors.h"

#include <cstddef>
#include <type_traits>

#include "cyclic_file_header.h"

// offsetof needs a standard-layout record.
static_assert(std::is_standard_layout_v<cyclic_file_header_t>);

namespace {

// xdr_int takes an int *; trellon hands each routine the field's address.
const trellon_field_proc_t code_int = reinterpret_cast<trellon_field_proc_t>(&xdr_int);

const trellon_field_entry_t coding_entries[] = {
    {code_int, offsetof(cyclic_file_header_t, buffer_size)},
    {code_int, offsetof(cyclic_file_header_t, message_count)},
    {code_int, offsetof(cyclic_file_header_t, wasted_tail)},
    {code_int, offsetof(cyclic_file_header_t, write_offset)},
    {code_int, offsetof(cyclic_file_header_t, read_offset)},
};

const trellon_length_entry_t length_entries[] = {
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, buffer_size)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, message_count)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, wasted_tail)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, write_offset)},
    {&xdr_length_of_encoded_int, offsetof(cyclic_file_header_t, read_offset)},
};

const trellon_coding_descriptor_t coding_descriptor = {5, coding_entries};
const trellon_length_descriptor_t length_descriptor = {5, length_entries};

}  // namespace

const trellon_coding_descriptor_t *cyclic_file_header_coding_descriptor() { return &coding_descriptor; }

const trellon_length_descriptor_t *cyclic_file_header_length_descriptor() { return &length_descriptor; }
