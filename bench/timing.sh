# The benchmarks' shared timing, sourced by bench/compare and bench/image.

bytes() {  # 64K, 1M, 16M -> a byte count
    numfmt --from=iec "$1"
}

# Runs each command once per round, in turn, and prints the median seconds of each. A plain
# "program arguments >file" is started directly, as make starts a simple recipe line, so that
# no shell's start-up hides the difference; the others through sh.
interleaved() {  # rounds, then the commands
    perl -MTime::HiRes=time -e '
        sub run {
            my ($command) = @_;
            my $pid = fork // die "fork: $!\n";
            if ($pid == 0) {
                if ($command =~ /^([^;&|{}()<>]*) >(\S+)$/) {
                    open(STDOUT, ">", $2) or die "$2: $!\n";
                    my @argv = split " ", $1;
                    exec { $argv[0] } @argv or die "$argv[0]: $!\n";
                }
                exec "sh", "-c", $command or die "sh: $!\n";
            }
            waitpid($pid, 0);
            $? == 0 or die "failed: $command\n";
        }
        my ($rounds, @commands) = @ARGV;
        my @times = map { [] } @commands;
        for my $round (0 .. $rounds + 1) {
            # Each round starts with another command, so that none always follows the same.
            for my $i (map { ($_ + $round) % @commands } 0 .. $#commands) {
                unlink "out.bin", "pad.bin";
                my $start = time;
                run($commands[$i]);
                push @{ $times[$i] }, time - $start if $round >= 2;  # two rounds to warm up
            }
        }
        for my $list (@times) {
            my @sorted = sort { $a <=> $b } @$list;
            print $sorted[$#sorted / 2], "\n";
        }' "$@"
}
