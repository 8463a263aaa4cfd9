// The Sleuth Kit's functions this program calls, found when tsk_image.cc
// loads the library (every member is null before that).
#pragma once

#include <tsk/libtsk.h>

#define BINSIFT_TSK_FUNCTIONS(X)                                                         \
  X(tsk_error_get) X(tsk_error_reset) X(tsk_error_set_errno) X(tsk_error_set_errstr)     \
  X(tsk_img_open_utf8_sing) X(tsk_img_open_external) X(tsk_img_close) X(tsk_img_read)    \
  X(tsk_vs_open) X(tsk_vs_close) X(tsk_fs_open_img) X(tsk_fs_open_vol)                    \
  X(tsk_fs_close) X(tsk_fs_type_toname) X(tsk_fs_read) X(tsk_fs_dir_open_meta)            \
  X(tsk_fs_dir_close) X(tsk_fs_dir_walk) X(tsk_fs_meta_walk) X(tsk_fs_file_open_meta)     \
  X(tsk_fs_file_close) X(tsk_fs_file_read) X(tsk_fs_file_attr_get)                        \
  X(tsk_fs_file_attr_get_type) X(tsk_fs_attr_walk) X(tsk_fs_file_attr_getsize)           \
  X(tsk_fs_file_attr_get_idx) X(tsk_fs_attr_read)

struct TskLibrary {
#define BINSIFT_TSK_MEMBER(name) decltype(&::name) name = nullptr;
  BINSIFT_TSK_FUNCTIONS(BINSIFT_TSK_MEMBER)
#undef BINSIFT_TSK_MEMBER
  void* handle = nullptr;
};

extern TskLibrary tsk_library;
