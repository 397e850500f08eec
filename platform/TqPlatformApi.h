// Visibility of the product classes. The product libraries export them; every
// other module (the helper library, hosts, tools) imports them. Either way they
// must have default visibility, or a module built with -fvisibility=hidden would
// bind to them as if they were its own.
#pragma once

#define TQ_PLATFORM_API __attribute__((visibility("default")))
