#pragma once
/// @file
/// What the shared library exports. It is built with hidden visibility, so only what
/// carries TARVIK_API is seen by a host: the classes whose objects, exceptions or
/// virtual functions cross into the host, and the functions the host calls.
#if defined(__GNUC__)
#define TARVIK_API __attribute__((visibility("default")))
#else
#define TARVIK_API
#endif
