#!/usr/bin/perl
# Gives a built client another version and another update key, in place:
#   restamp.pl QuorVPN.exe FROM TO [OLD_KEY.pem NEW_KEY.pem]
# FROM and TO are X.Y.Z versions of the same length (6.0.8 -> 6.0.9). Every
# place the build wrote the version from its one source changes: the
# compiled-in text (what GetVersion returns), the manifest, the version
# block's strings and its fixed numbers. The key is the "DSAPUB" resource's
# PEM text; two P-256 public keys in PEM have the same length. Rebuilding
# the client for a second version would take the installer tests minutes;
# this takes none, and changes exactly what such a build changes.
use strict;
use warnings;

my ($exe, $from, $to, $old_key, $new_key) = @ARGV;
die "usage: restamp.pl EXE FROM TO [OLD_KEY NEW_KEY]\n" unless defined $to;
die "restamp: $from and $to differ in length\n" if length($from) != length($to);
my @from = split /\./, $from;
my @to = split /\./, $to;
die "restamp: versions are X.Y.Z\n" unless @from == 3 && @to == 3;

sub slurp { my ($path) = @_; open(my $in, '<:raw', $path) or die "restamp: $path: $!\n"; local $/; return <$in>; }
my $image = slurp($exe);

# Every whole occurrence of $from in characters of $width bytes: a digit
# before or after makes it part of another number (16.0.8, 6.0.81).
sub replace_all {
  my ($from, $to, $width) = @_;
  my ($what, $with) = map { join('', map { $_ . ("\0" x ($width - 1)) } split //) } ($from, $to);
  my $count = 0;
  my $at = 0;
  while (($at = index($image, $what, $at)) >= 0) {
    my $before = $at >= $width ? substr($image, $at - $width, 1) : '';
    my $after = substr($image, $at + length($what), 1);
    if ($before !~ /[0-9]/ && $after !~ /[0-9]/) {
      substr($image, $at, length($what)) = $with;
      ++$count;
    }
    $at += length($what);
  }
  return $count;
}

my $ascii = replace_all($from, $to, 1);
my $wide = replace_all($from, $to, 2);
die "restamp: no compiled-in version $from\n" if $ascii < 2;
die "restamp: no version strings in the version block\n" if $wide < 2;

# VS_FIXEDFILEINFO: signature, structure version, then file and product
# versions as (major << 16 | minor, patch << 16 | build).
my $fixed = index($image, pack('V', 0xFEEF04BD));
die "restamp: no fixed version\n" if $fixed < 0;
my ($ms, $ls) = ($to[0] << 16 | $to[1], $to[2] << 16);
substr($image, $fixed + 8, 16) = pack('VVVV', $ms, $ls, $ms, $ls);

if (defined $new_key) {
  my ($old, $new) = (slurp($old_key), slurp($new_key));
  die "restamp: the keys differ in length\n" if length($old) != length($new);
  my $at = index($image, $old);
  die "restamp: the old key is not in $exe\n" if $at < 0;
  substr($image, $at, length($old)) = $new;
}

open(my $out, '>:raw', $exe) or die "restamp: $exe: $!\n";
print $out $image;
close($out) or die "restamp: $exe: $!\n";
