// The host's record form, checked against the C library's own struct utmpx:
// a port where the log lies in neither known form fails to build here,
// rather than building a program that prints wrong lines.
//
// <utmpx.h> is read as the C library and its login services are built:
// without _TIME_BITS=64. Before glibc 2.40 that flag changes the struct on
// 32-bit hosts (to 392 bytes on i386, 400 on armhf; glibc bug 30701) while
// the log stays in the 384-byte form. Nothing here uses time_t.
#undef _TIME_BITS

#include "login_record.h"

#include <utmpx.h>

#include <cstddef>
#include <type_traits>

namespace {

using exit_status = decltype(utmpx::ut_exit);
using time_value = decltype(utmpx::ut_tv);
constexpr login_record_form FORM = LOGIN_RECORD_FORM;

static_assert(std::endian::native == FORM.byte_order,
              "the C library's login record is in neither known form: byte order");
static_assert(sizeof(utmpx) == FORM.size,
              "the C library's login record is in neither known form: record size");
static_assert(offsetof(utmpx, ut_type) == LOGIN_TYPE_OFFSET && sizeof(utmpx::ut_type) == 2,
              "the C library's login record is in neither known form: ut_type");
static_assert(offsetof(utmpx, ut_line) == LOGIN_LINE_OFFSET &&
                  sizeof(utmpx::ut_line) == LOGIN_TEXT_SIZE,
              "the C library's login record is in neither known form: ut_line");
static_assert(offsetof(utmpx, ut_user) == LOGIN_USER_OFFSET &&
                  sizeof(utmpx::ut_user) == LOGIN_TEXT_SIZE,
              "the C library's login record is in neither known form: ut_user");
static_assert(offsetof(utmpx, ut_exit) + offsetof(exit_status, e_termination) ==
                      LOGIN_TERMINATION_OFFSET &&
                  sizeof(exit_status::e_termination) == 2,
              "the C library's login record is in neither known form: ut_exit.e_termination");
static_assert(offsetof(utmpx, ut_exit) + offsetof(exit_status, e_exit) == LOGIN_EXIT_OFFSET &&
                  sizeof(exit_status::e_exit) == 2,
              "the C library's login record is in neither known form: ut_exit.e_exit");
static_assert(offsetof(utmpx, ut_tv) + offsetof(time_value, tv_sec) == FORM.time_offset &&
                  sizeof(time_value::tv_sec) == FORM.time_size,
              "the C library's login record is in neither known form: ut_tv.tv_sec");
static_assert(std::is_signed_v<decltype(time_value::tv_sec)> == FORM.time_signed,
              "the C library's login record is in neither known form: ut_tv.tv_sec's sign");

}  // namespace
