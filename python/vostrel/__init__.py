"""vostrel: Hawkes (self-exciting) point processes. The numerical core is the extension module
`vostrel._libvostrel`."""
