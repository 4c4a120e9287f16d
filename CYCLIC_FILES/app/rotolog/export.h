/* Marks the names that librotolog.so exports; everything else is hidden. */
#ifndef ROTOLOG_EXPORT_H
#define ROTOLOG_EXPORT_H

#define ROTOLOG_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define ROTOLOG_EXTERN_C_BEGIN extern "C" {
#define ROTOLOG_EXTERN_C_END }
#else
#define ROTOLOG_EXTERN_C_BEGIN
#define ROTOLOG_EXTERN_C_END
#endif

#endif
