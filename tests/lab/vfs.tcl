# tcl-vfs: a tar archive (written by tcllib's tar) mounted as a directory.
package require tar
package require vfs::tar
set dir [file join [pwd] vfs-work]
file delete -force $dir
file mkdir $dir/src
set f [open $dir/src/hello.txt w]; puts -nonewline $f "hello from the archive"; close $f
set here [pwd]
cd $dir
tar::create archive.tar src/hello.txt
cd $here
vfs::tar::Mount $dir/archive.tar $dir/mnt
puts [lsort [glob -tails -directory $dir/mnt/src *]]
set f [open $dir/mnt/src/hello.txt]; puts [read $f]; close $f
vfs::unmount $dir/mnt
file delete -force $dir
