# The four orders in which a host may include the Windows headers and
# QBSocks32.h, each compiled as a host is (warnings as errors); compiling
# is the test.
foreach(order 1 2 3 4)
  add_library(include_order_${order} OBJECT ${CMAKE_CURRENT_LIST_DIR}/include_order.cpp)
  target_compile_definitions(include_order_${order} PRIVATE QBSOCKS_INCLUDE_ORDER=${order})
  target_link_libraries(include_order_${order} PRIVATE QBSocks32)
endforeach()
