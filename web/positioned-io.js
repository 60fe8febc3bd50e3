// Emscripten 3.1.6 reads every buffer of a preadv(), and writes every buffer
// of a pwritev(), at the one offset given, so from the second buffer on the
// bytes come from (or land at) the wrong place. These take each buffer
// where the one before it ended, as the system calls do.
mergeInto(LibraryManager.library, {
  $positionedIo__deps: ['$FS', '$SYSCALLS'],
  $positionedIo: function(move, fd, iov, iovcnt, offset, pnum) {
    try {
      var stream = SYSCALLS.getStreamFromFD(fd);
      var done = 0;
      for (var i = 0; i < iovcnt; i++) {
        var ptr = {{{ makeGetValue('iov', 'i*8', 'i32') }}};
        var len = {{{ makeGetValue('iov', 'i*8 + 4', 'i32') }}};
        var moved = move(stream, HEAP8, ptr, len, offset + done);
        done += moved;
        if (moved < len) break;
      }
      {{{ makeSetValue('pnum', 0, 'done', 'i32') }}};
      return 0;
    } catch (e) {
      if (typeof FS == 'undefined' || !(e instanceof FS.ErrnoError)) throw e;
      return e.errno;
    }
  },
  fd_pread__deps: ['$positionedIo'],
  fd_pread: function(fd, iov, iovcnt, {{{ defineI64Param('offset') }}}, pnum) {
    {{{ receiveI64ParamAsI32s('offset') }}}
    return positionedIo(FS.read, fd, iov, iovcnt, offset_low, pnum);
  },
  fd_pwrite__deps: ['$positionedIo'],
  fd_pwrite: function(fd, iov, iovcnt, {{{ defineI64Param('offset') }}}, pnum) {
    {{{ receiveI64ParamAsI32s('offset') }}}
    return positionedIo(FS.write, fd, iov, iovcnt, offset_low, pnum);
  },
});
