# The generic node layer and the typed FictionBook binding.
target_sources(fictionbook PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/xml_node.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fictionbook_21.cpp)
