# A program that loads the framework libraries. They call the launcher's
# exported interface (launcher/interface) by name, so the program exports its
# symbols; and a program that never touches the link leaves those names
# unresolved, which the loader only minds if they are called.
function(launcher_framework_program target)
    set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
    target_link_options(${target} PRIVATE "LINKER:--allow-shlib-undefined")
endfunction()
