# Sourced by the tests that run a Wine server of their own (Wine makes every
# socket in its server process, in the network namespace that process
# started in).
#
# link_wine_prefix SOURCE TARGET: TARGET becomes a prefix of its own, a copy
# of SOURCE with the Windows drive linked rather than copied (the tests add
# files there and change none). Not the file "wineserver": it names SOURCE's
# server directory.
link_wine_prefix() {
    mkdir "$2"
    find "$1" -mindepth 1 -maxdepth 1 ! -name drive_c ! -name wineserver -exec cp -a {} "$2/" \;
    cp -al "$1/drive_c" "$2/"
}
