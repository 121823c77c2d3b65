# find_package(Talven) gives the imported target Talven::talvenftp: the FTP
# client library with the include folder of its C header.
include("${CMAKE_CURRENT_LIST_DIR}/TalvenTargets.cmake")
